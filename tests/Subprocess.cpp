#include "Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

void closeFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv)
{
    int outPipe[2];
    int errPipe[2];
    if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    posix_spawn_file_actions_addclose(&actions, errPipe[0]);

    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const int rc = ::posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    m_outFd = outPipe[0];
    m_errFd = errPipe[0];
    if (rc != 0) {
        closeFd(m_outFd);
        closeFd(m_errFd);
        throw std::runtime_error("cannot start " + argv.at(0));
    }
}

Subprocess::~Subprocess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    closeFd(m_outFd);
    closeFd(m_errFd);
}

// Moves whatever the child has written into the buffers, waiting at most the
// timeout for something to arrive. False once both outputs are closed.
bool Subprocess::pump(std::chrono::milliseconds timeout)
{
    pollfd fds[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
    if (m_outFd < 0 && m_errFd < 0) {
        return false;
    }
    if (::poll(fds, 2, static_cast<int>(timeout.count())) <= 0) {
        return true;
    }
    int* fdsToRead[2] = {&m_outFd, &m_errFd};
    std::string* buffers[2] = {&m_out, &m_err};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t n = ::read(*fdsToRead[i], chunk, sizeof chunk);
        if (n > 0) {
            buffers[i]->append(chunk, static_cast<size_t>(n));
        } else {
            closeFd(*fdsToRead[i]);
        }
    }
    return true;
}

std::optional<std::string> Subprocess::readLine(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (m_out.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !pump(left) || m_outFd < 0) {
            if (m_out.find('\n') != std::string::npos) {
                break;
            }
            return std::nullopt;
        }
    }
    const size_t end = m_out.find('\n');
    std::string line = m_out.substr(0, end);
    m_out.erase(0, end + 1);
    return line;
}

void Subprocess::signal(int signalNumber)
{
    if (m_pid > 0) {
        ::kill(m_pid, signalNumber);
    }
}

Subprocess::Outcome Subprocess::finish(std::chrono::milliseconds timeout)
{
    Outcome outcome;
    const auto deadline = Clock::now() + timeout;
    while (m_outFd >= 0 || m_errFd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            outcome.timedOut = true;
            ::kill(m_pid, SIGKILL);
            break;
        }
        pump(std::min(left, std::chrono::milliseconds(100)));
    }
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    closeFd(m_outFd);
    closeFd(m_errFd);
    if (!outcome.timedOut && WIFEXITED(status)) {
        outcome.exitStatus = WEXITSTATUS(status);
    }
    outcome.out = std::move(m_out);
    outcome.err = std::move(m_err);
    return outcome;
}

Subprocess::Outcome Subprocess::run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    Subprocess child(argv);
    return child.finish(timeout);
}
