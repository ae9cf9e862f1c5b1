// Runs a program as a child process with its standard output and error
// captured, for the tests that drive the built executables.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

class Subprocess {
public:
    struct Outcome {
        int exitStatus = -1;  // -1 when the child did not exit normally in time
        int signal = 0;       // the signal that ended the child, if one did
        std::string out;
        std::string err;
    };

    // Starts argv[0] with the given arguments; stdin is /dev/null.
    explicit Subprocess(const std::vector<std::string>& argv);
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;
    // Kills and reaps the child if it still runs.
    ~Subprocess();

    // The next line of standard output without its line feed, or nothing if
    // none is complete within the timeout.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    pid_t pid() const { return m_pid; }
    // Waits for the exit, killing the child when it has not ended within the
    // timeout, and gives the output not yet read.
    Outcome finish(std::chrono::milliseconds timeout);

    static Outcome run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

private:
    pid_t m_pid = -1;
    std::FILE* m_outputs[2];  // unnamed files that take standard output and error
    size_t m_outputRead = 0;  // what readLine has taken from standard output
};
