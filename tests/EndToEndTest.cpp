// The built Quenwick executable against the simulated board over a
// pseudo-terminal: exit status, the exact bytes on stdout and stderr, and the
// board's flash read back afterwards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "Subprocess.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

const std::string FAILURE_TEXT = "FAILED\nSketch writing was failed.";
const std::string USAGE_TEXT =
    "Usage: Quenwick <WriteFilePath> <ComPortName> <BoardName>\n"
    "Quenwick version1\\.0\n"
    "Flash programmer command for Tarsel ZQ-MAPLE/ZQ-WILLOW\n"
    "Examples:\n"
    "  Quenwick \\./sketch\\.bin /dev/cu\\.usbserial-DJ004POF ZQ-WILLOW\n"
    "notice: write file format is sketch\\.bin only\\.\n";  // as a regular expression
const std::string VERSION = "Quenwick [0-9]+\\.[0-9]+\\.[0-9]+\n";
const std::string TRY_HELP = "\nTry 'Quenwick --help'\n";
const std::string NO_OUTPUT = "Quenwick: cannot write standard output: ";
const std::string ANY = "[\\s\\S]*";
// Image files that real tools made at build time (tests/make-images).
const std::string IMAGES = QUENWICK_TEST_IMAGES;

std::string readText(const fs::path& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::string randomBytes(size_t size, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(generator()); });
    return bytes;
}

// A line of the board's log: its time of day in milliseconds and its text.
struct LogLine {
    int64_t ms;
    std::string text;
    bool fromHost() const { return text.starts_with("host> ") || text.starts_with("mode entry"); }
};

std::vector<LogLine> boardLog(const std::string& log)
{
    std::vector<LogLine> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        int h = 0, m = 0, s = 0, ms = 0;
        std::sscanf(line.c_str(), "%d:%d:%d.%d", &h, &m, &s, &ms);
        lines.push_back({((h * 60 + m) * 60 + s) * int64_t{1000} + ms, line.substr(13)});
    }
    return lines;
}

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(m_directory); }

    // A failed job is explained by the frames the board saw and sent (the last
    // job's, where a table of jobs stops at its first failed job).
    void TearDown() override
    {
        if (HasFailure()) {
            const std::string log = readText(m_directory / "board.log");
            std::cout << "end of the board's log:\n" << log.substr(log.size() - std::min<size_t>(log.size(), 40000));
        }
        fs::remove_all(m_directory);
    }

    // quenwick-sim in a child process; gives its device, or "" when it did not start.
    std::string startBoard(Strings options)
    {
        options.insert(options.begin(), QUENWICK_SIM_EXE);
        options.insert(options.end(), {"--flash-out", (m_directory / "flash-out.bin").string(), "--log",
                                       (m_directory / "board.log").string()});
        return m_board.emplace(options).readLine(10s).value_or("");
    }

    // Stops the board and reads its code flash back.
    std::string stopBoard()
    {
        ::kill(m_board->pid(), SIGTERM);
        const Subprocess::Outcome outcome = m_board->finish(10s);
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
        return readText(m_directory / "flash-out.bin");
    }

    std::string image(const std::string& name, const std::string& bytes)
    {
        const fs::path path = m_directory / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    // Runs Quenwick with only the given QUENWICK_ variables ("NAME=value") set,
    // by the shell command line `shell` in which "$@" stands for it (">&-").
    static Subprocess::Outcome quenwick(const Strings& arguments, const Strings& environment = {},
                                        const std::string& shell = "\"$@\"")
    {
        Strings argv{"/bin/sh",       "-c", "exec " + shell,    "sh", "/usr/bin/env",       "-u",
                     "QUENWICK_BAUD", "-u", "QUENWICK_VERBOSE", "-u", "QUENWICK_PORTS_ROOT"};
        argv.insert(argv.end(), environment.begin(), environment.end());
        argv.push_back(QUENWICK_EXE);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return Subprocess::run(argv, 300s);
    }

    struct Job {
        Subprocess::Outcome outcome;
        std::string flash;
        std::string log;
    };

    // One job on a fresh board; in the arguments "PORT" stands for the
    // board's device and "sketch.*" for an image of that name with the bytes.
    Job job(Strings boardOptions, Strings arguments, const std::string& bytes, const Strings& environment,
            const std::string& shell)
    {
        const std::string device = startBoard(std::move(boardOptions));
        for (std::string& argument : arguments) {
            argument = argument == "PORT"                ? device
                       : argument.starts_with("sketch.") ? image(argument, bytes)
                                                         : argument;
        }
        Job job{quenwick(arguments, environment, shell), "", ""};
        job.flash = stopBoard();
        job.log = readText(m_directory / "board.log");
        return job;
    }

    // Waits until the board's log, past its first `logged` bytes, shows a data frame.
    bool programs(size_t logged = 0) const
    {
        for (int i = 0; i < 3000; ++i, std::this_thread::sleep_for(10ms)) {
            if (readText(m_directory / "board.log").find("data frame", logged) != std::string::npos) {
                return true;
            }
        }
        ADD_FAILURE() << "no programming";
        return false;
    }

    // The verbose lines without their time stamps; the reason and the failure
    // text are left as they are.
    static std::string unstamped(const std::string& err)
    {
        return std::regex_replace(err, std::regex("(^|\n) *[0-9]+\\.[0-9]{3}s  "), "$1");
    }

    // Silent with exit status 0, or the failure text alone with 1.
    static void expectExit(const Subprocess::Outcome& outcome, int exitStatus)
    {
        EXPECT_EQ(outcome.exitStatus, exitStatus) << outcome.err;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, exitStatus == 0 ? "" : FAILURE_TEXT);
    }

    // The image from address 0, then erased bytes up to the end of its last block.
    static void expectFlashHolds(const std::string& flash, const std::string& bytes)
    {
        const size_t blockEnd = (bytes.size() + 1023) / 1024 * 1024;
        ASSERT_GE(flash.size(), blockEnd);
        EXPECT_EQ(flash.compare(0, bytes.size(), bytes), 0) << "image of " << bytes.size();
        EXPECT_GE(flash.find_first_not_of('\xFF', bytes.size()), blockEnd)
            << "padding after an image of " << bytes.size();
    }

    const fs::path m_directory =
        fs::temp_directory_path() / ("quenwick-e2e-" + std::to_string(::getpid()) + "-" +
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::optional<Subprocess> m_board;
};

// Jobs that succeed: images from 1 byte to the largest (a name is bytes, not
// necessarily UTF-8); boards that need erasing;
// every line speed, by option or environment; and a verbose job: one line per
// step, then one per tenth of the image. To a board without faults the host
// sends no frame twice, also when every answer comes late but in time
// (quenwick-sim --answer-at). Each frame that follows an answer reaches the
// board at least the host's 1 ms pause after it, and no byte outside a frame:
// also a verbose job with standard error closed (the port must not take its
// place) or a pipe that nobody reads (its failed writes change nothing).
TEST_F(EndToEndTest, JobsThatSucceed)
{
    const std::string dirty = image("dirty.bin", randomBytes(8192, 8));
    int unread[2] = {-1, -1};
    ASSERT_EQ(::pipe(unread), 0);
    ::close(unread[0]);
    std::string tenths;
    for (int tenth = 1; tenth <= 10; ++tenth) {
        tenths += "programming " + std::to_string(tenth * 10) + "%, " + std::to_string(tenth * 1024) +
                  " of 10240 bytes, [0-9.]+ KiB/s, [0-9.]+ s left\n";
    }
    static const Strings verbose = {"-v", "sketch.bin", "PORT", "X"};
    // err: a regular expression for the unstamped standard error; logged: a line of the board's log.
    const struct {
        const char* what;
        Strings board = {}, args = verbose, env = {};
        size_t size;
        std::string err = ANY, logged = "", shell = "\"$@\"";
    } rows[] = {
        {.what = "not blank, answers late but in time",
         .board = {"--answer-at", "0.9", "--flash-in", dirty},
         .args = {"-v", "sketch.BIN", "PORT", "ZQ-MAPLE"},
         .size = 3000,
         .err = ANY + "\nblank check: 0 blocks blank, 3 erased\n" + ANY,
         .logged = "  Block Erase"},
        {.what = "largest image, not blank",
         .board = {"--flash-in", dirty},
         .args = {"sketch.\xFF\xC0.bin", "PORT", "X"},
         .size = 262144,
         .err = ""},
        {.what = "long Baud Rate Set answer, two status bytes",
         .board = {"--fault", "long-baud", "--fault", "double-status"},
         .size = 1025,
         .err = ANY + "\nblank check: 2 blocks blank, 0 erased\n" + ANY},
        {.what = "250000",
         .board = {"--line-rate"},
         .args = {"-b", "250000", "sketch.bin", "PORT", "X"},
         .size = 5000,
         .err = "",
         .logged = "board port now at 250000 baud"},
        {.what = "500000",
         .board = {"--line-rate"},
         .args = {"sketch.bin", "PORT", "X"},
         .env = {"QUENWICK_BAUD=500000"},
         .size = 5000,
         .err = "",
         .logged = "board port now at 500000 baud"},
        {.what = "verbose, standard error closed", .size = 3000, .err = "", .shell = "\"$@\" 2>&-"},
        {.what = "verbose into a pipe nobody reads",
         .size = 3000,
         .err = "",
         .shell = "\"$@\" 2>&" + std::to_string(unread[1])},
        {.what = "verbose, at 1000000",
         .board = {"--line-rate", "--device-name", "ZQ\x01MAPLE"},
         .args = {"--verbose", "-b", "1000000", "sketch.bin", "PORT", "ZQ-MAPLE"},
         .size = 10240,
         .err = "image 10240 bytes, 10 blocks of 1024\n"
                "port /dev/\\S+ opened at 115200 baud, low latency not granted by the driver\n"
                "mode entry: DTR and break, then Baud Rate Set\n"
                "device ZQ\\?MAPLE \\(code [0-9A-F ]{8}\\), code flash 262144 bytes, data flash [0-9]+ bytes, firmware "
                "[0-9A-F ]{8}\n"
                "line speed 1000000 baud\n"
                "blank check: 10 blocks blank, 0 erased\n" +
                tenths + "checksum: host ([0-9A-F]{4}), target \\1\nwritten and verified in [0-9.]+ s, [0-9.]+ KiB/s\n",
         .logged = "board port now at 1000000 baud"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string bytes = randomBytes(row.size, 21);
        const Job result = job(row.board, row.args, bytes, row.env, row.shell);
        ASSERT_EQ(result.outcome.exitStatus, 0) << result.outcome.err;  // the board's log then follows
        EXPECT_EQ(result.outcome.out, "");
        EXPECT_TRUE(std::regex_match(unstamped(result.outcome.err), std::regex(row.err))) << result.outcome.err;
        expectFlashHolds(result.flash, bytes);
        EXPECT_NE(result.log.find(row.logged), std::string::npos) << row.logged;
        EXPECT_EQ(result.log.find("outside any frame"), std::string::npos);
        const bool faultless = std::find(row.board.begin(), row.board.end(), "--fault") == row.board.end();
        std::set<std::string> sent;
        int64_t answered = -1;  // when the board last answered, while the host has not sent since
        for (const LogLine& line : boardLog(result.log)) {
            EXPECT_TRUE(!faultless || !line.text.starts_with("host> ") || sent.insert(line.text).second)
                << "sent again: " << line.text;
            EXPECT_TRUE(answered < 0 || !line.text.starts_with("host> ") ||
                        (line.ms - answered + 86400000) % 86400000 >= 1)
                << "no pause of 1 ms before: " << line.text;
            answered = line.text.starts_with("board> ") ? line.ms : line.fromHost() ? -1 : answered;
        }
    }
    ::close(unread[1]);
}

// Plain, a failure prints the failure text only; with -v the reason comes
// first. A bad image is refused before the port opens: the board hears nothing.
// A port that does not open says why, from the system's answer.
TEST_F(EndToEndTest, FailuresAndTheirReasons)
{
    const std::string sketch = image("sketch.bin", randomBytes(2000, 3));
    const std::string FORMAT = "error 0x3001: the image's format is unknown or its file is malformed";
    const std::string NOT_OPEN = "error 0x1002: the port ";
    const fs::path fifo = m_directory / "x.bin";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // port: the board's device when empty, held by another program when
    // "busy", one this user may not open when "denied", none when "-". GROUP
    // in the reason: the device's group. Image and port come before the board:
    // the board hears nothing. (A silent board and a checksum that differs
    // are the sequence table's rows; -v's reason for them, VerboseLog's.)
    const struct {
        const char* what;
        std::string image, port = "", reason;
    } rows[] = {
        {.what = "HEX with a bad sum",
         .image = IMAGES + "/badsum.hex",
         .reason = "image refused: line 3: the sum is 00, it should be DA\n" + FORMAT},
        {.what = "FIFO",
         .image = fifo.string(),
         .reason = "error 0x3003: the image is not a regular file or cannot be read"},
        {.what = "no such port",
         .image = sketch,
         .port = (m_directory / "nothing").string(),
         .reason = NOT_OPEN + "does not exist"},
        {.what = "port that is a regular file",
         .image = sketch,
         .port = sketch,
         .reason = NOT_OPEN + "is not a serial device"},
        {.what = "port that is no terminal",
         .image = sketch,
         .port = "/dev/null",
         .reason = NOT_OPEN + "is not a serial device"},
        {.what = "port in use", .image = sketch, .port = "busy", .reason = NOT_OPEN + "is in use by another program"},
        {.what = "port not permitted",
         .image = sketch,
         .port = "denied",
         .reason = "error 0x1002: this user may not open the port (members of group GROUP may)"},
        {.what = "no port", .image = sketch, .port = "-", .reason = "error 0x1001: no port was given"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const bool busy = row.port == "busy", denied = row.port == "denied";
        const std::string device = startBoard({});
        const std::string port = row.port.empty() || busy || denied ? device : row.port == "-" ? "" : row.port;
        const int holder = busy ? ::open(port.c_str(), O_RDWR | O_NOCTTY) : -1;
        ASSERT_TRUE(!busy || ::flock(holder, LOCK_EX) == 0);
        // Denied to its owner by the mode; root, whom no mode stops, runs it as nobody.
        struct stat status {};
        ASSERT_TRUE(!denied || (::chmod(port.c_str(), 0060) == 0 && ::stat(port.c_str(), &status) == 0));
        const std::string shell =
            denied && ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups \"$@\"" : "\"$@\"";
        const std::string reason =
            std::regex_replace(row.reason, std::regex("GROUP"), denied ? ::getgrgid(status.st_gid)->gr_name : "");
        expectExit(quenwick({row.image, port, "X"}, {}, shell), 1);
        const Subprocess::Outcome verbose = quenwick({"-v", row.image, port, "X"}, {}, shell);
        EXPECT_EQ(verbose.exitStatus, 1);
        EXPECT_TRUE(
            std::regex_match(unstamped(verbose.err),
                             std::regex("(" + ANY + "\n)?" + std::regex_replace(reason, std::regex("[.()]"), "\\$&") +
                                        "\n" + FAILURE_TEXT)))
            << verbose.err;
        ::close(holder);
        stopBoard();
        EXPECT_EQ(readText(m_directory / "board.log").find("mode entry"), std::string::npos)
            << "the board heard the host";
    }
}

// What only the real program shows of its command line (the command line
// itself is read in-process, tests/CommandLineTest.cpp): the usage text's
// bytes, the form of a refusal, each mode's failure text, the environment read,
// and output that cannot be written, with its reason where standard error can
// take it.
TEST_F(EndToEndTest, WhatTheProgramPrintsAndReturns)
{
    // out: a regular expression.
    const struct {
        Strings args, env = {};
        int status;
        std::string out = "", err = "", shell = "\"$@\"";
    } rows[] = {
        {.args = {}, .status = 1, .out = USAGE_TEXT},
        {.args = {"--help"}, .status = 0, .out = USAGE_TEXT + "Options \\(anywhere before --\\):\n(.*\n)*"},
        {.args = {"--version"}, .status = 0, .out = VERSION},
        {.args = {"-x", "a.bin", "p", "b"}, .status = 1, .err = "Quenwick: bad option '-x'" + TRY_HELP},
        {.args = {"--version"},
         .status = 1,
         .err = NO_OUTPUT + "No space left on device\n",
         .shell = "\"$@\" >/dev/full"},
        {.args = {"--help"}, .status = 1, .err = NO_OUTPUT + "Bad file descriptor\n", .shell = "\"$@\" >&-"},
        {.args = {"-V"}, .status = 1, .shell = "\"$@\" >/dev/full 2>&-"},
        {.args = {"--info", "/nonexistent/port"},
         .env = {"QUENWICK_BAUD=", "QUENWICK_VERBOSE=Yes"},
         .status = 1,
         .err = "error 0x1002: the port does not exist\nFAILED\nThe board could not be read.\n"},
        {.args = {"--erase", "/nonexistent/port"}, .status = 1, .err = "FAILED\nThe board could not be erased.\n"},
        {.args = {"--verify", "/nonexistent.bin", "p", "b"},
         .status = 1,
         .err = "FAILED\nThe board could not be verified.\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.env) + ::testing::PrintToString(row.args) + row.shell);
        const Subprocess::Outcome outcome = quenwick(row.args, row.env, row.shell);
        EXPECT_EQ(outcome.exitStatus, row.status);
        EXPECT_TRUE(std::regex_match(outcome.out, std::regex(row.out))) << outcome.out;
        EXPECT_EQ(outcome.err, row.err);
    }
}

// The modes on one board that holds a written image: --info prints the
// signature; --verify compares without a blank check, erase or data frame
// (the image written: 0; another: MISMATCH; one larger than the flash: could
// not compare); then --erase leaves every byte 0xFF, erasing only the blocks
// that were not blank.
TEST_F(EndToEndTest, ModesThatAskCompareAndErase)
{
    const std::string device = startBoard({"--code-flash-end", "0xFFFF"});
    const std::string written = image("sketch.bin", randomBytes(3000, 5));
    expectExit(quenwick({written, device, "X"}), 0);
    const size_t writeLogged = readText(m_directory / "board.log").size();
    const std::string info =
        "device-name: SIMBOARD\ndevice-code: 51 57 01\ncode-flash-size: 65536 bytes (64 KiB)\n"
        "data-flash-size: 4096 bytes (4 KiB)\nfirmware-version: 01 00 00\n";
    // err: a regular expression.
    const std::string other = image("other.bin", randomBytes(3000, 6)),
                      large = image("large.bin", std::string(65537, 'Z'));
    const struct {
        Strings args;
        int status;
        std::string out = "", err = "", shell = "\"$@\"";
    } rows[] = {
        {.args = {"--info", device}, .status = 0, .out = info},
        {.args = {"--info", device},
         .status = 1,
         .err = NO_OUTPUT + "No space left on device\n",
         .shell = "\"$@\" >/dev/full"},
        {.args = {"-b", "1000000", "-v", "--info", device},
         .status = 0,
         .out = info,
         .err = ANY + "line speed 1000000 baud\n"},
        {.args = {"--verify", written, device, "X"}, .status = 0},
        {.args = {"--verify", other, device, "X"},
         .status = 1,
         .err = "MISMATCH\nThe board does not hold this image\\.\n"},
        {.args = {"-v", "--verify", large, device, "X"},
         .status = 1,
         .err = ANY + "error 0x3004: the image is larger than the target's code flash\nFAILED\nThe board could not be "
                      "verified\\.\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args) + row.shell);
        const Subprocess::Outcome outcome = quenwick(row.args, {}, row.shell);
        EXPECT_EQ(outcome.exitStatus, row.status);
        EXPECT_EQ(outcome.out, row.out);
        EXPECT_TRUE(std::regex_match(unstamped(outcome.err), std::regex(row.err))) << outcome.err;
    }
    const std::string asked = readText(m_directory / "board.log").substr(writeLogged);
    EXPECT_NE(asked.find("board port now at 1000000 baud"), std::string::npos);
    for (const char* frame : {"Block Blank Check", "Block Erase", "Programming", "data frame"}) {
        EXPECT_EQ(asked.find(frame), std::string::npos) << frame << " sent while only asking";
    }

    const Subprocess::Outcome erased = quenwick({"-v", "--erase", device});
    EXPECT_EQ(erased.exitStatus, 0);
    EXPECT_TRUE(std::regex_match(unstamped(erased.err), std::regex(ANY + "erasing 100%, 65536 of 65536 bytes.*\n"
                                                                         "blank check: 61 blocks blank, 3 erased\n")))
        << erased.err;
    const std::string log = readText(m_directory / "board.log").substr(writeLogged);
    const auto count = [&log](const std::string& text) {
        const std::vector<LogLine> lines = boardLog(log);
        return std::count_if(lines.begin(), lines.end(),
                             [&](const LogLine& line) { return line.text.ends_with(text); });
    };
    EXPECT_EQ(count("  Block Blank Check"), 64 + 1);  // each block, then all of them once erased
    EXPECT_EQ(count("  Block Erase"), 3);
    EXPECT_EQ(stopBoard(), std::string(65536, '\xFF'));
}

// --list-ports on a sysfs tree of our own: a USB adapter with its strings and
// stable path, a built-in UART, and none for a UART that serial_core found
// missing or a virtual terminal; an empty tree lists nothing. A hostile tree
// is read as untrusted: an attribute that never ends (/dev/zero) or would
// hold the reader (a FIFO) is left out, control bytes and bytes that are no
// UTF-8 are shown as \xNN, and each device keeps one line.
TEST_F(EndToEndTest, ListPortsFromSysfs)
{
    const fs::path root = m_directory / "root", hostile = m_directory / "hostile";
    const auto file = [&](const fs::path& tree, const std::string& path, const std::string& text) {
        fs::create_directories((tree / path).parent_path());
        std::ofstream(tree / path) << text << "\n";
    };
    const auto link = [&](const fs::path& tree, const std::string& path, const std::string& target) {
        fs::create_directories(tree / path.substr(0, path.rfind('/')));
        fs::create_directory_symlink(target, tree / path);
    };
    const auto uart = [&](const fs::path& tree, const std::string& tty, const std::string& type) {
        file(tree, "sys/devices/platform/serial8250/tty/" + tty + "/type", type);
        link(tree, "sys/devices/platform/serial8250/tty/" + tty + "/device", "../../../serial8250");
        link(tree, "sys/class/tty/" + tty, "../../devices/platform/serial8250/tty/" + tty);
    };
    const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    for (const auto& [name, text] : {std::pair{"idVendor", "0403"},
                                     {"idProduct", "6001"},
                                     {"manufacturer", "FTDI"},
                                     {"product", "FT232R USB UART"},
                                     {"serial", "A10K3Z"}}) {
        file(root, usb + "/" + name, text);
    }
    fs::create_directories(root / usb / "1-2:1.0/ttyUSB0/tty/ttyUSB0");
    link(root, usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0/device", "../../../ttyUSB0");
    link(root, "sys/class/tty/ttyUSB0", "../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0");
    link(root, "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3Z-if00-port0", "../../ttyUSB0");
    uart(root, "ttyS0", "4");
    uart(root, "ttyS1", "0");
    fs::create_directories(root / "sys/devices/virtual/tty/tty0");
    link(root, "sys/class/tty/tty0", "../../devices/virtual/tty/tty0");
    fs::create_directories(m_directory / "empty");
    fs::copy(root, hostile, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::remove(hostile / usb / "product");
    fs::create_symlink("/dev/zero", hostile / usb / "product");
    fs::remove(hostile / usb / "manufacturer");
    ASSERT_EQ(::mkfifo((hostile / usb / "manufacturer").c_str(), 0600), 0);
    file(hostile, usb + "/serial", "\x1B[2J\\A\nB\xFF\xC2\x9B\xC3\xA9");
    uart(hostile, "ttyS\n2", "4");
    const struct {
        fs::path root;
        std::string out;
    } rows[] = {
        {.root = root,
         .out = "/dev/ttyS0\n/dev/ttyUSB0 (USB 0403:6001, FTDI, FT232R USB UART, serial A10K3Z, "
                "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3Z-if00-port0)\n"},
        {.root = m_directory / "empty", .out = ""},
        {.root = hostile,
         .out = "/dev/ttyS0\n/dev/ttyS\\x0A2\n/dev/ttyUSB0 (USB 0403:6001, serial "
                "\\x1B[2J\\x5CA\\x0AB\\xFF\\xC2\\x9B\xC3\xA9, "
                "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3Z-if00-port0)\n"},
    };
    for (const auto& row : rows) {
        const Subprocess::Outcome outcome = quenwick({"--list-ports"}, {"QUENWICK_PORTS_ROOT=" + row.root.string()});
        EXPECT_EQ(outcome.exitStatus, 0);
        EXPECT_EQ(outcome.out, row.out) << row.root;
        EXPECT_EQ(outcome.err, "");
    }
}

// A signal mid-job ends it at its next wait with the end steps (the line
// settings put back), its reason and the failure text as the last bytes, and
// exit status 1; a second signal ends it at once, the line settings put back
// all the same. The board is then free for the next job.
TEST_F(EndToEndTest, ASignalStopsTheJobInOrder)
{
    const std::string bytes = randomBytes(16 * 1024, 13);
    const std::string sketch = image("sketch.bin", bytes);
    const std::string device = startBoard({"--line-rate"});
    const auto lineSettings = [&] {
        struct termios tio {};
        const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_EQ(::tcgetattr(fd, &tio), 0);
        ::close(fd);
        return std::make_tuple(tio.c_iflag, tio.c_oflag, tio.c_cflag, tio.c_lflag);
    };
    const auto found = lineSettings();
    // end: how standard error ends, a regular expression.
    const struct {
        std::vector<int> signals;
        std::string end;
    } rows[] = {
        {.signals = {SIGINT}, .end = "\nerror 0x2005: stopped by SIGINT \\(Programming, attempt [1-5]\\)\n"},
        {.signals = {SIGTERM}, .end = "\nerror 0x2005: stopped by SIGTERM \\(Programming, attempt [1-5]\\)\n"},
        {.signals = {SIGHUP}, .end = "\nerror 0x2005: stopped by SIGHUP \\(Programming, attempt [1-5]\\)\n"},
        {.signals = {SIGHUP, SIGTERM}, .end = "\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.signals));
        const size_t logged = readText(m_directory / "board.log").size();
        Subprocess job({QUENWICK_EXE, "-v", sketch, device, "X"});
        ASSERT_TRUE(programs(logged));
        for (int signalNumber : row.signals) {
            ::kill(job.pid(), signalNumber);
        }
        const Subprocess::Outcome outcome = job.finish(60s);
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_TRUE(std::regex_search(outcome.err, std::regex(row.end + FAILURE_TEXT + "$"))) << outcome.err;
        EXPECT_EQ(lineSettings(), found) << "the line settings were not put back";
        // The next job's DTR and break would reset a real target; the simulated
        // board cannot see them, so the answer it still owes the stopped job
        // must go out before the next job's line changes, or the next job takes it.
        std::this_thread::sleep_for(200ms);
    }
    expectExit(quenwick({sketch, device, "X"}), 0);
    expectFlashHolds(stopBoard(), bytes);
}

// A board that goes away mid-job (its device hangs up) ends the job at once
// with a reason of its own; the end steps do not hang on the dead device.
TEST_F(EndToEndTest, ABoardThatGoesAwayEndsTheJob)
{
    const std::string device = startBoard({"--line-rate"});
    Subprocess job({QUENWICK_EXE, "-v", image("sketch.bin", randomBytes(16 * 1024, 14)), device, "X"});
    ASSERT_TRUE(programs());
    stopBoard();
    const Subprocess::Outcome outcome = job.finish(60s);
    EXPECT_EQ(outcome.exitStatus, 1);
    EXPECT_TRUE(std::regex_search(outcome.err, std::regex("\nerror 0x2005: the serial device went away \\(Programming, "
                                                          "attempt [1-5]\\)\n" +
                                                          FAILURE_TEXT + "$")))
        << outcome.err;
}

}  // namespace
