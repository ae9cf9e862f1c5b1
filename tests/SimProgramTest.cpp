// The quenwick-sim program refusing what it cannot serve, with exit status 2.
#include "Subprocess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path scratch(const std::string& name)
{
    return fs::temp_directory_path() / ("SimProgramTest-" + std::to_string(getpid()) + "-" + name);
}

TEST(SimProgramTest, RefusesBadOptions)
{
    const fs::path big = scratch("big.bin");
    std::ofstream(big, std::ios::binary) << std::string(0x801, 'x');
    // Exit status 0 prints the text on standard output, 2 on standard error and nothing else.
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> rows{
        {{"--help"}, 0, "Usage: quenwick-sim"},
        {{"--bogus"}, 2, "unknown option '--bogus'"},
        {{"--link"}, 2, "option --link needs a value"},
        {{"--erase-ms", "12ms"}, 2, "--erase-ms: bad number '12ms'"},
        {{"--fault", "silent:everything"}, 2, "bad field 'everything'"},
        {{"--code-flash-end", "0x1000"}, 2, "whole 1024-byte blocks"},
        {{"--fault", "gremlin"}, 2, "unknown fault 'gremlin'"},
        {{"--fault", "silent:reset:0"}, 2, "bad count '0'"},
        {{"--flash-in", scratch("missing.bin").string()}, 2, "--flash-in: cannot read"},
        {{"--code-flash-end", "0x7FF", "--flash-in", big.string()}, 2, "2049 bytes, more than the code flash's 2048"},
        {{"--answer-at", "0"}, 2, "--answer-at: bad share '0'"},
        {{"--answer-at", "0.9s"}, 2, "--answer-at: bad share '0.9s'"},
        {{"--answer-only", "erase"}, 2, "--answer-only needs --answer-at"},
        {{"--answer-at=3", "--answer-only", "late"}, 2, "--answer-only: unknown exchange 'late'"},
    };
    for (const auto& [arguments, exitStatus, text] : rows) {
        std::vector<std::string> argv{QUENWICK_SIM_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const Subprocess::Outcome outcome = Subprocess::run(argv, 10s);
        EXPECT_EQ(outcome.exitStatus, exitStatus) << text;
        const auto& [shown, other] = exitStatus == 0 ? std::tie(outcome.out, outcome.err) : std::tie(outcome.err, outcome.out);
        EXPECT_NE(shown.find(text), std::string::npos) << text << " not in: " << shown;
        EXPECT_EQ(other, "") << text;
    }
    fs::remove(big);
}

}  // namespace
