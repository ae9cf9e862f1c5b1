// The quenwick-sim program as other tools use it: started as a process, its
// device path read from its first line, stopped with a signal.
#include "SimTestHost.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& arguments)
    {
        std::vector<std::string> all{QUENWICK_SIM_PATH};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : all) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        int out[2];
        int err[2];
        EXPECT_EQ(pipe(out), 0);
        EXPECT_EQ(pipe(err), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        EXPECT_EQ(posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~SimProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_out);
        close(m_err);
    }

    // The first line of standard output, without its newline.
    std::string firstLine()
    {
        std::string line;
        char c;
        while (read(m_out, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

    // Sends signal (none: waits for the program to end by itself); returns the exit status.
    int finish(int signal = 0)
    {
        if (signal != 0) {
            kill(m_pid, signal);
        }
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string rest() { return readAll(m_out); }
    std::string errors() { return readAll(m_err); }

private:
    static std::string readAll(int fd)
    {
        std::string text;
        char chunk[4096];
        for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
};

std::filesystem::path scratch(const std::string& name)
{
    return std::filesystem::temp_directory_path() / ("SimProgramTest-" + std::to_string(getpid()) + "-" + name);
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void enter(SimTestHost& host)
{
    host.send(ENTRY);
    ASSERT_EQ(host.exchange(BAUD_115200, 5), ACK);
}

TEST(SimProgramTest, ServesHostAfterHostUntilTerminated)
{
    const auto link = scratch("link");
    const auto log = scratch("log.txt");
    SimProcess sim({"--link", link.string(), "--log", log.string()});
    const std::string device = sim.firstLine();
    ASSERT_TRUE(device.starts_with("/dev/")) << "first line: " << device;
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), device);

    {
        SimTestHost host(link.string());
        enter(host);
        EXPECT_EQ(host.exchange(rangeCommand(0x40, 0, 0xFF), 5), ACK);
        EXPECT_EQ(host.exchange(dataFrame(Bytes(256, 0x00), true), 10), ACK + ACK);
    }
    for (int job = 2; job <= 3; ++job) {
        SimTestHost host(device);
        enter(host);
        EXPECT_EQ(host.exchange(rangeCommand(0xB0, 0, 0x3FF), 11), (ACK + Bytes{0x02, 0x02, 0x00, 0x03, 0xFB, 0x03}))
            << "job " << job << " must find what job 1 programmed";
    }

    EXPECT_EQ(sim.finish(SIGTERM), 0);
    EXPECT_EQ(sim.rest(), "") << "only the device path goes to standard output";
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link))) << "link left behind";
    const std::string logged = readFile(log);
    EXPECT_TRUE(std::regex_search(logged, std::regex(R"(\d\d:\d\d:\d\d\.\d{3} mode entry 3)"))) << logged;
    EXPECT_TRUE(std::regex_search(logged, std::regex(R"(\d{3} host> 01 03 9A 00 21 42 03  Baud Rate Set)"))) << logged;
    EXPECT_TRUE(std::regex_search(logged, std::regex(R"(\d{3} board> 02 01 06 F9 03)"))) << logged;
    std::filesystem::remove(log);
}

TEST(SimProgramTest, StartsFromFlashInAndLeavesFlashOut)
{
    const auto in = scratch("in.bin");
    const auto out = scratch("out.bin");
    std::ofstream(in, std::ios::binary) << "abc";
    SimProcess sim({"--code-flash-end", "0x7FF", "--flash-in", in.string(), "--flash-out", out.string()});
    const std::string device = sim.firstLine();
    {
        SimTestHost host(device);
        enter(host);
        EXPECT_EQ(host.exchange(rangeCommand(0xB0, 0, 0x3FF), 11), (ACK + Bytes{0x02, 0x02, 0xD7, 0x05, 0x22, 0x03}))
            << "checksum of the --flash-in content";
        EXPECT_EQ(host.exchange(rangeCommand(0x40, 0x400, 0x4FF), 5), ACK);
        EXPECT_EQ(host.exchange(dataFrame(Bytes(256, 0x0F), true), 10), ACK + ACK);
    }
    EXPECT_EQ(sim.finish(SIGINT), 0);
    std::string expected = "abc" + std::string(0x800 - 3, '\xFF');
    expected.replace(0x400, 256, std::string(256, '\x0F'));
    EXPECT_EQ(readFile(out), expected) << "--flash-out must hold the whole code flash as the host left it";
    std::filesystem::remove(in);
    std::filesystem::remove(out);
}

TEST(SimProgramTest, RefusesBadOptionsAndHelps)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--code-flash-end", "lots"}, "bad number 'lots'"},
        {{"--fault", "silent:everything"}, "bad field 'everything'"},
        {{"--flash-in", scratch("missing.bin").string()}, "--flash-in: cannot read"},
    };
    for (const auto& [arguments, message] : cases) {
        SimProcess sim(arguments);
        EXPECT_EQ(sim.finish(), 2) << arguments[0];
        EXPECT_NE(sim.errors().find(message), std::string::npos) << arguments[0];
        EXPECT_EQ(sim.rest(), "") << arguments[0] << " printed a device";
    }

    SimProcess help({"--help"});
    EXPECT_EQ(help.finish(), 0);
    const std::string text = help.rest();
    for (const char* option : {"--link", "--code-flash-end", "--data-flash-end", "--device-name", "--flash-in",
                               "--flash-out", "--log", "--line-rate", "--erase-ms", "--program-ms", "--fault",
                               "silent:CMD", "from-entry:K"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option << " missing from --help";
    }
}

}  // namespace
