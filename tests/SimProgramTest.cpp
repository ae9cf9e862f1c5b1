// The quenwick-sim program as other tools use it: started as a process, its
// device path read from its first line, stopped with a signal.
#include "SimTestHost.h"
#include "Subprocess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

namespace {

std::filesystem::path scratch(const std::string& name)
{
    return std::filesystem::temp_directory_path() / ("SimProgramTest-" + std::to_string(getpid()) + "-" + name);
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SimProgramTest, ServesHostAfterHostFromFlashInToFlashOut)
{
    const auto in = scratch("in.bin");
    const auto out = scratch("out.bin");
    const auto link = scratch("link");
    const auto log = scratch("log.txt");
    std::ofstream(in, std::ios::binary) << "abc";
    Subprocess sim({QUENWICK_SIM_PATH, "--code-flash-end", "0x7FF", "--flash-in", in.string(), "--flash-out",
                    out.string(), "--link", link.string(), "--log", log.string()});
    const std::string device = sim.readLine(10s).value_or("(no line)");
    ASSERT_TRUE(device.starts_with("/dev/")) << "first line: " << device;
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), device);
    {
        SimTestHost host(link.string());
        EXPECT_EQ(host.exchange(ENTRY + BAUD_115200, 5), ACK) << "host on the link";
        EXPECT_EQ(host.exchange(rangeCommand(0x40, 0x400, 0x4FF), 5), ACK);
        EXPECT_EQ(host.exchange(dataFrame(Bytes(256, 0x0F), true), 10), ACK + ACK);
    }
    {
        SimTestHost host(device);
        EXPECT_EQ(host.exchange(ENTRY + BAUD_115200, 5), ACK) << "second host, on the device path";
    }

    sim.signal(SIGTERM);
    const Subprocess::Outcome outcome = sim.finish(10s);
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "") << "only the device path goes to standard output";
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link))) << "link left behind";
    std::string expected = "abc" + std::string(0x800 - 3, '\xFF');
    expected.replace(0x400, 256, std::string(256, '\x0F'));
    EXPECT_EQ(readFile(out), expected) << "--flash-out must hold the whole code flash as the hosts left it";
    const std::string logged = readFile(log);
    for (const char* line : {R"(\d\d:\d\d:\d\d\.\d{3} mode entry 2)", R"(\d{3} board> 02 01 06 F9 03)",
                             R"(\d{3} host> 01 03 9A 00 21 42 03  Baud Rate Set)"}) {
        EXPECT_TRUE(std::regex_search(logged, std::regex(line))) << line << " not in the log:\n" << logged;
    }
    for (const auto& file : {in, out, log}) {
        std::filesystem::remove(file);
    }
}

TEST(SimProgramTest, RefusesBadOptions)
{
    const auto big = scratch("big.bin");
    std::ofstream(big, std::ios::binary) << std::string(0x801, 'x');
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--link"}, "option --link needs a value"},
        {{"--erase-ms", "12ms"}, "--erase-ms: bad number '12ms'"},
        {{"--fault", "silent:everything"}, "bad field 'everything'"},
        {{"--code-flash-end", "0x1000"}, "whole 1024-byte blocks"},
        {{"--fault", "gremlin"}, "unknown fault 'gremlin'"},
        {{"--fault", "silent:reset:0"}, "bad count '0'"},
        {{"--flash-in", scratch("missing.bin").string()}, "--flash-in: cannot read"},
        {{"--code-flash-end", "0x7FF", "--flash-in", big.string()}, "2049 bytes, more than the code flash's 2048"},
    };
    for (const auto& [arguments, message] : cases) {
        std::vector<std::string> argv{QUENWICK_SIM_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const Subprocess::Outcome outcome = Subprocess::run(argv, 10s);
        EXPECT_EQ(outcome.exitStatus, 2) << arguments.back();
        EXPECT_NE(outcome.err.find(message), std::string::npos) << message << " not in: " << outcome.err;
        EXPECT_EQ(outcome.out, "") << arguments.back() << " printed a device";
    }
    std::filesystem::remove(big);

    const Subprocess::Outcome help = Subprocess::run({QUENWICK_SIM_PATH, "--help"}, 10s);
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: quenwick-sim")) << help.out;
}

}  // namespace
