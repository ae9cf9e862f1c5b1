// Runs a program as a child process with its standard output and error
// captured, for the tests that drive the built executables.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

class Subprocess {
public:
    struct Outcome {
        int exitStatus = -1;  // -1 when the child did not exit normally
        bool timedOut = false;
        std::string out;
        std::string err;
    };

    // Starts argv[0] with the given arguments; stdin is /dev/null.
    explicit Subprocess(const std::vector<std::string>& argv);
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;
    // Kills and reaps the child if it still runs.
    ~Subprocess();

    // Reads standard output up to the first line feed; the line without it,
    // or nothing if the child closed its output or the time ran out.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Sends a signal to the child.
    void signal(int signalNumber);
    // Collects the rest of the output and waits for the exit; kills the child
    // when it has not ended within the timeout.
    Outcome finish(std::chrono::milliseconds timeout);

    // Starts, finishes and returns in one call.
    static Outcome run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

private:
    bool pump(std::chrono::milliseconds timeout);

    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_out;
    std::string m_err;
};
