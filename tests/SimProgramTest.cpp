// The quenwick-sim program refusing what it cannot serve, with exit status 2.
#include "Subprocess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

TEST(SimProgramTest, RefusesBadOptions)
{
    const std::string big = std::filesystem::temp_directory_path() / ("SimProgramTest-" + std::to_string(getpid()));
    std::ofstream(big, std::ios::binary) << std::string(0x801, 'x');
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows{
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--link"}, "option --link needs a value"},
        {{"--erase-ms", "12ms"}, "--erase-ms: bad number '12ms'"},
        {{"--fault", "silent:everything"}, "bad field 'everything'"},
        {{"--code-flash-end", "0x1000"}, "whole 1024-byte blocks"},
        {{"--fault", "gremlin"}, "unknown fault 'gremlin'"},
        {{"--fault", "silent:reset:0"}, "bad count '0'"},
        {{"--flash-in", big + ".missing"}, "--flash-in: cannot read"},
        {{"--code-flash-end", "0x7FF", "--flash-in", big}, "2049 bytes, more than the code flash's 2048"},
        {{"--answer-at", "0"}, "--answer-at: bad share '0'"},
        {{"--answer-at", "0.9s"}, "--answer-at: bad share '0.9s'"},
        {{"--answer-at", "0x1p-1"}, "--answer-at: bad share '0x1p-1'"},
        {{"--answer-at=+1"}, "--answer-at: bad share '+1'"},
        {{"--adapter-latency", "256"}, "--adapter-latency: bad number '256'"},
        {{"--answer-only", "erase"}, "--answer-only needs --answer-at"},
        {{"--answer-at=3", "--answer-only", "late"}, "--answer-only: unknown exchange 'late'"},
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
