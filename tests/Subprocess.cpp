#include "Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace {

// All that has been written to an in-memory file so far.
std::string contents(int fd)
{
    struct stat status {};
    ::fstat(fd, &status);
    std::string text(static_cast<size_t>(status.st_size), '\0');
    text.resize(static_cast<size_t>(std::max<ssize_t>(0, ::pread(fd, text.data(), text.size(), 0))));
    return text;
}

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv)
    : m_outputs{::memfd_create("stdout", MFD_CLOEXEC), ::memfd_create("stderr", MFD_CLOEXEC)}
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, m_outputs[0], 1);
    posix_spawn_file_actions_adddup2(&actions, m_outputs[1], 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const int rc = ::posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    m_pidFd = rc == 0 ? static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0)) : -1;
    if (m_pidFd < 0) {
        throw std::runtime_error("cannot start " + argv.at(0));
    }
}

Subprocess::~Subprocess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_pidFd, m_outputs[0], m_outputs[1]}) {
        ::close(fd);
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
    pollfd ended{m_pidFd, POLLIN, 0};
    if (::poll(&ended, 1, static_cast<int>(timeout.count())) != 1) {
        ::kill(m_pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, contents(m_outputs[0]).substr(m_outputRead),
            contents(m_outputs[1])};
}

Subprocess::Outcome Subprocess::run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    return Subprocess(argv).finish(timeout);
}
