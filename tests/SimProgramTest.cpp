// The quenwick-sim program as a process: what it refuses to serve (exit
// status 2), its data flash files, and a cable that its unplug fault pulls.
#include "NSSerialPortProcessor.h"
#include "ResultCodes.h"
#include "Subprocess.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// What the board says on the program's own port until count bytes are in,
// or the device hangs up first ("<hang-up>" follows them), or 10 s pass (a
// limit that only keeps a broken build from hanging).
std::string hear(NSSerialPortProcessor& port, uint64_t count)
{
    const uint64_t deadline = port.Now() + 10000;
    for (uint64_t have = 0;
         (have = port.GetReceiveDataLength()) < count && port.IsReading() && port.Now() < deadline;) {
        port.WaitReceived(have, deadline);
    }
    std::string heard(std::min(count, port.GetReceiveDataLength()), '\0');
    port.GetReceivedData(reinterpret_cast<uint8_t*>(heard.data()), heard.size(), heard.size());
    return heard.size() < count && port.IsDeviceGone() ? heard + "<hang-up>" : heard;
}

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

// Each board runs with --data-flash-out; the host plays the exchanges on the
// device through the program's own port (115200 8N2), then the board gets the
// signal (0 sends none) and its device must hang up with nothing more said. A
// pulled cable ends the board by itself after the answers to the frames
// before the pulled one. (A data flash file shorter than the data flash is
// read in padded with 0xFF and written out whole in the end-to-end jobs.)
TEST(SimProgramTest, ServesItsDataFlashFilesAndEndsOnAPulledCable)
{
    const std::string out = fs::temp_directory_path() / ("SimProgramTest-" + std::to_string(getpid()) + ".bin");
    const std::string entry{"\x00\x01\x03\x9A\x00\x21\x42\x03", 8};  // mode entry, Baud Rate Set 115200
    const std::string ack{"\x02\x01\x06\xF9\x03", 5};
    const std::string reset{"\x01\x01\x00\xFF\x03", 5};
    // The table is laid out by hand, between clang-format off and on:
    // clang-format would put each field of a long row on a line of its own.
    // clang-format off
    const struct {
        const char* what;
        std::vector<std::string> arguments;
        std::vector<std::pair<std::string, std::string>> exchanges = {};
        int signal = SIGTERM;
        std::string dataFlash;
    } rows[] = {
        {.what = "no data flash", .arguments = {"--data-flash-size", "0"}, .dataFlash = ""},
        {.what = "cable pulled as the second frame comes", .arguments = {"--fault", "unplug:2"},
         .exchanges = {{entry, ack}, {reset, ""}}, .signal = 0, .dataFlash = std::string(4096, '\xFF')},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> argv{QUENWICK_SIM_PATH, "--data-flash-out", out};
        argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
        Subprocess board(argv);
        NSSerialPortProcessor port;
        ASSERT_EQ(port.Open(board.readLine(10s).value_or("").c_str()), RESULT_OK);
        for (const auto& [send, answer] : row.exchanges) {
            EXPECT_EQ(port.SendData(reinterpret_cast<const uint8_t*>(send.data()), send.size()), RESULT_OK);
            EXPECT_EQ(hear(port, answer.size()), answer);
        }
        ::kill(board.pid(), row.signal);
        EXPECT_EQ(hear(port, UINT64_MAX), "<hang-up>");
        EXPECT_EQ(board.finish(10s).exitStatus, 0);
        std::ostringstream flash;
        flash << std::ifstream(out, std::ios::binary).rdbuf();
        EXPECT_EQ(flash.str(), row.dataFlash);
        fs::remove(out);
    }
}

}  // namespace
