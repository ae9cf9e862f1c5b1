// The quenwick-sim program as a process: what it refuses to serve (exit
// status 2). (Its flash files, and a cable that its unplug fault pulls, the
// end-to-end jobs show.)
#include "Subprocess.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace std::chrono_literals;

TEST(SimProgramTest, RefusesBadOptions)
{
    const std::string big = std::filesystem::temp_directory_path() / ("SimProgramTest-" + std::to_string(getpid()));
    std::ofstream(big, std::ios::binary) << std::string(0x801, 'x');
    const struct {
        std::vector<std::string> args;
        std::string error;
    } rows[] = {
        {.args = {"--bogus"}, .error = "unknown option '--bogus'"},
        {.args = {"--link"}, .error = "option --link needs a value"},
        {.args = {"--erase-ms", "12ms"}, .error = "--erase-ms: bad number '12ms'"},
        {.args = {"--fault", "silent:everything"}, .error = "bad field 'everything'"},
        {.args = {"--code-flash-end", "0x1000"}, .error = "whole 1024-byte blocks"},
        {.args = {"--code-flash-end", "0xF03FF"}, .error = "below 0xF0000"},
        {.args = {"--data-flash-size", "1000"},
         .error = "--data-flash-size: the data flash must be whole 1024-byte blocks"},
        {.args = {"--fault", "gremlin"}, .error = "unknown fault 'gremlin'"},
        {.args = {"--fault", "silent:reset:0"}, .error = "bad count '0'"},
        {.args = {"--fault", "late:erase:1:600001"}, .error = "bad field '600001'"},
        {.args = {"--flash-in", big + ".missing"}, .error = "--flash-in: cannot read"},
        {.args = {"--code-flash-end", "0x7FF", "--flash-in", big},
         .error = "2049 bytes, more than the code flash's 2048"},
        {.args = {"--data-flash-size", "0", "--data-flash-in", big},
         .error = "--data-flash-in: " + big + " holds 2049 bytes, more than the data flash's 0"},
        {.args = {"--answer-at", "0"}, .error = "--answer-at: bad share '0'"},
        {.args = {"--answer-at", "0.9s"}, .error = "--answer-at: bad share '0.9s'"},
        {.args = {"--answer-at", "0x1p-1"}, .error = "--answer-at: bad share '0x1p-1'"},
        {.args = {"--answer-at=+1"}, .error = "--answer-at: bad share '+1'"},
        {.args = {"--adapter-latency", "256"}, .error = "--adapter-latency: bad number '256'"},
        {.args = {"--answer-only", "erase"}, .error = "--answer-only needs --answer-at"},
        {.args = {"--answer-at=3", "--answer-only", "late"}, .error = "--answer-only: unknown exchange 'late'"},
    };
    for (const auto& [arguments, message] : rows) {
        std::vector<std::string> argv{QUENWICK_SIM_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const Subprocess::Outcome outcome = Subprocess::run(argv, 10s);
        EXPECT_EQ(outcome.exitStatus, 2) << message;
        EXPECT_NE(outcome.err.find(message), std::string::npos) << message << " not in: " << outcome.err;
        EXPECT_EQ(outcome.out, "") << message << ": printed a device";
    }
    std::filesystem::remove(big);
}

}  // namespace
