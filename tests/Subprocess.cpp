#include "Subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace {

// All that has been written to an output file so far.
std::string contents(std::FILE* pFile)
{
    struct stat status {};
    ::fstat(fileno(pFile), &status);
    std::string text(static_cast<size_t>(status.st_size), '\0');
    text.resize(static_cast<size_t>(std::max<ssize_t>(0, ::pread(fileno(pFile), text.data(), text.size(), 0))));
    return text;
}

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv) : m_outputs{std::tmpfile(), std::tmpfile()}
{
    if (m_outputs[0] == nullptr || m_outputs[1] == nullptr) {
        throw std::runtime_error("no file for the output of " + argv.at(0));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fileno(m_outputs[0]), 1);
    posix_spawn_file_actions_adddup2(&actions, fileno(m_outputs[1]), 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const int rc = ::posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::runtime_error("cannot start " + argv.at(0));
    }
}

Subprocess::~Subprocess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    for (std::FILE* pFile : m_outputs) {
        std::fclose(pFile);
    }
}

std::optional<std::string> Subprocess::readLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string out;
    while ((out = contents(m_outputs[0])).find('\n', m_outputRead) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const size_t start = std::exchange(m_outputRead, out.find('\n', m_outputRead) + 1);
    return out.substr(start, m_outputRead - 1 - start);
}

Subprocess::Outcome Subprocess::finish(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_pid = -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0,
            contents(m_outputs[0]).substr(m_outputRead), contents(m_outputs[1])};
}

Subprocess::Outcome Subprocess::run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    return Subprocess(argv).finish(timeout);
}
