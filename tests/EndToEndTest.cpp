// The built Quenwick executable against the simulated board over a
// pseudo-terminal: exit status, the exact bytes on stdout and stderr, and the
// board's flash read back afterwards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <set>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

#include "Subprocess.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string FAILURE_TEXT = "FAILED\nSketch writing was failed.";
const std::string USAGE_TEXT =
    "Usage: Quenwick <WriteFilePath> <ComPortName> <BoardName>\n"
    "Quenwick version1.0\n"
    "Flash programmer command for Tarsel ZQ-MAPLE/ZQ-WILLOW\n"
    "Examples:\n"
    "  Quenwick ./sketch.bin /dev/cu.usbserial-DJ004POF ZQ-WILLOW\n"
    "notice: write file format is sketch.bin only.\n";
const std::string TRY_HELP = "\nTry 'Quenwick --help'\n";
constexpr size_t BLOCK = 1024;

using Bytes = std::vector<uint8_t>;

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readText(const fs::path& path)
{
    const Bytes bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

void writeFile(const fs::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes randomBytes(size_t size, uint32_t seed)
{
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(generator());
    }
    return bytes;
}

// quenwick-sim in a child process; its code flash is read back when it stops.
class Board {
public:
    Board(const fs::path& directory, std::vector<std::string> options)
        : m_flashOut(directory / "flash-out.bin"),
          m_process([&] {
              options.insert(options.begin(), QUENWICK_SIM_EXE);
              options.push_back("--flash-out");
              options.push_back(m_flashOut.string());
              options.push_back("--log");
              options.push_back((directory / "board.log").string());
              return options;
          }())
    {
        device = m_process.readLine(10s).value_or("");
    }

    Bytes stop()
    {
        m_process.signal(SIGTERM);
        const Subprocess::Outcome outcome = m_process.finish(10s);
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
        return readFile(m_flashOut);
    }

    std::string device;

private:
    fs::path m_flashOut;
    Subprocess m_process;
};

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_directory = fs::temp_directory_path() / ("quenwick-e2e-" + std::to_string(::getpid()) + "-" +
                                                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_directory);
    }

    // A failed job is explained by the frames the board saw and sent.
    void TearDown() override
    {
        if (HasFailure()) {
            std::ifstream log(m_directory / "board.log");
            std::deque<std::string> lines;
            for (std::string line; std::getline(log, line);) {
                lines.push_back(line.substr(0, 120));
                if (lines.size() > 400) {
                    lines.pop_front();
                }
            }
            std::cout << "end of the board's log:\n";
            for (const std::string& line : lines) {
                std::cout << line << "\n";
            }
        }
        fs::remove_all(m_directory);
    }

    fs::path image(const std::string& name, const Bytes& bytes)
    {
        const fs::path path = m_directory / name;
        writeFile(path, bytes);
        return path;
    }

    // Runs Quenwick with only the given QUENWICK_ variables ("NAME=value") set.
    static Subprocess::Outcome quenwick(const std::vector<std::string>& arguments,
                                        const std::vector<std::string>& environment = {})
    {
        std::vector<std::string> argv{"/usr/bin/env", "-u", "QUENWICK_BAUD", "-u", "QUENWICK_VERBOSE"};
        argv.insert(argv.end(), environment.begin(), environment.end());
        argv.push_back(QUENWICK_EXE);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return Subprocess::run(argv, 300s);
    }

    // The verbose lines without their time stamps; the reason and the failure
    // text are left as they are.
    static std::string unstamped(const std::string& err)
    {
        return std::regex_replace(err, std::regex("(^|\n) *[0-9]+\\.[0-9]{3}s  "), "$1");
    }

    static void expectSuccess(const Subprocess::Outcome& outcome)
    {
        EXPECT_FALSE(outcome.timedOut);
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "");
    }

    static void expectFailure(const Subprocess::Outcome& outcome)
    {
        EXPECT_FALSE(outcome.timedOut);
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, FAILURE_TEXT);
    }

    // The image from address 0, then erased bytes up to the end of its last block.
    static void expectFlashHolds(const Bytes& flash, const Bytes& bytes)
    {
        const size_t blockEnd = (bytes.size() + BLOCK - 1) / BLOCK * BLOCK;
        ASSERT_GE(flash.size(), blockEnd);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin())) << "image of " << bytes.size();
        EXPECT_TRUE(std::all_of(flash.begin() + static_cast<std::ptrdiff_t>(bytes.size()),
                                flash.begin() + static_cast<std::ptrdiff_t>(blockEnd),
                                [](uint8_t byte) { return byte == 0xFF; }))
            << "padding after an image of " << bytes.size();
    }

    fs::path m_directory;
};

// One board serves every job, as real hardware does: from the second job on
// the blocks hold the previous image and have to be erased first.
TEST_F(EndToEndTest, ImagesOfEverySizeLandInTheFlash)
{
    Board board(m_directory, {});
    ASSERT_FALSE(board.device.empty());
    Bytes last;
    uint32_t seed = 1;
    for (size_t size : {size_t{1}, size_t{1024}, size_t{1025}, size_t{1500}, size_t{262144}, size_t{1500}}) {
        last = randomBytes(size, seed++);
        const std::string name = size == 1025 ? "sk\xFF\xC0tch.bin" : "sketch.bin";  // not UTF-8: bytes pass
        expectSuccess(quenwick({image(name, last).string(), board.device, "ZQ-WILLOW"}));
    }
    expectFlashHolds(board.stop(), last);
}

TEST_F(EndToEndTest, BoardsThatNeedErasingOrTheOtherPolarity)
{
    const Bytes bytes = randomBytes(3000, 7);
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string verboseLine;
    };
    const fs::path dirty = image("dirty.bin", randomBytes(8192, 8));
    for (const Case& c :
         {Case{"not blank", {"--flash-in", dirty.string()}, "blank check: 0 blocks blank, 3 erased\n"},
          Case{"other DTR polarity", {"--fault", "from-entry:2"},
               "no answer: mode entry again with the other DTR polarity\n"},
          Case{"long Baud Rate Set answer, two status bytes", {"--fault", "long-baud", "--fault", "double-status"},
               "blank check: 3 blocks blank, 0 erased\n"}}) {
        SCOPED_TRACE(c.name);
        Board board(m_directory, c.options);
        const Subprocess::Outcome outcome =
            quenwick({image("sketch.BIN", bytes).string(), board.device, "ZQ-MAPLE"}, {"QUENWICK_VERBOSE=1"});
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
        EXPECT_NE(unstamped(outcome.err).find(c.verboseLine), std::string::npos) << outcome.err;
        expectFlashHolds(board.stop(), bytes);
    }
}

// Plain, a failure prints the failure text only; with -v the reason comes
// first. A bad image is refused before the port opens: the board hears nothing.
TEST_F(EndToEndTest, FailuresAndTheirReasons)
{
    const fs::path sketch = image("sketch.bin", randomBytes(2000, 3));
    const fs::path fifo = m_directory / "x.bin";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string imagePath;
        std::string port;  // the board's device when empty, held by another program when "busy"
        std::string reason;
        bool reachesBoard;
    };
    const std::string noPort = (m_directory / "no-such-port").string();
    const std::vector<Case> cases = {
        {"silent board", {"--fault", "silent:baud"}, sketch.string(), "",
         "error 0x2009: the target did not enter programming mode (Baud Rate Set, attempt 5)", true},
        {"image too large", {"--code-flash-end", "0xFFFF"}, image("large.bin", Bytes(65537, 0x5A)).string(), "",
         "error 0x3004: the image is larger than the target's code flash", true},
        {"checksum mismatch", {"--fault", "flip:0x10"}, sketch.string(), "",
         "error 0x200D: the target's checksum differs from the image's (Checksum, attempt 1)", true},
        {"missing image", {}, (m_directory / "missing.bin").string(), "",
         "error 0x3000: the image file does not exist", false},
        {"wrong image format", {}, image("sketch.hex", Bytes(16, 1)).string(), "",
         "error 0x3001: the image's name does not end in .bin", false},
        {"FIFO named x.bin", {}, fifo.string(), "", "error 0x3003: the image is not a regular file or cannot be read",
         false},
        {"port that cannot be opened", {}, sketch.string(), noPort, "error 0x1002: the port cannot be opened", false},
        {"port in use", {}, sketch.string(), "busy", "error 0x1002: the port cannot be opened", false},
        {"no port", {}, sketch.string(), "-", "error 0x1001: no port was given", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Board board(m_directory, c.options);
        const bool busy = c.port == "busy";
        const std::string port = c.port.empty() || busy ? board.device : c.port == "-" ? "" : c.port;
        const int holder = busy ? ::open(port.c_str(), O_RDWR | O_NOCTTY) : -1;
        ASSERT_TRUE(!busy || ::flock(holder, LOCK_EX) == 0);
        expectFailure(quenwick({c.imagePath, port, "ZQ-WILLOW"}));
        const Subprocess::Outcome verbose = quenwick({"-v", c.imagePath, port, "ZQ-WILLOW"});
        EXPECT_EQ(verbose.exitStatus, 1);
        EXPECT_TRUE(unstamped(verbose.err).ends_with("\n" + c.reason + "\n" + FAILURE_TEXT) ||
                    verbose.err == c.reason + "\n" + FAILURE_TEXT)
            << verbose.err;
        if (holder != -1) {
            ::close(holder);
        }
        board.stop();
        EXPECT_EQ(readFile(m_directory / "board.log").empty(), !c.reachesBoard);
    }
}

// The plain call's bytes do not change with options around it; a bad option
// or value is named, with a pointer to --help.
TEST_F(EndToEndTest, OptionsAroundThePlainCall)
{
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::string> environment;
        int exitStatus;
        std::string out;  // a regular expression
        std::string err;
    };
    const std::string usage = std::regex_replace(USAGE_TEXT, std::regex("[.]"), "\\$&");
    const std::vector<Case> cases = {
        {{}, {}, 1, usage, ""},
        {{"sketch.bin"}, {}, 1, usage, ""},
        {{"-v", "sketch.bin", "/dev/null"}, {"QUENWICK_BAUD=250000"}, 1, usage, ""},
        {{"--help"}, {}, 0, usage + "Options \\(anywhere before --\\):\n(.*\n)*", ""},
        {{"x.bin", "-h", "p", "b"}, {}, 0, usage + "Options (.*\n)*", ""},
        {{"--version"}, {}, 0, "Quenwick [0-9]+\\.[0-9]+\\.[0-9]+\n", ""},
        {{"-V"}, {}, 0, "Quenwick [0-9]+\\.[0-9]+\\.[0-9]+\n", ""},
        {{"-x", "a.bin", "p", "b"}, {}, 1, "", "Quenwick: bad option '-x'" + TRY_HELP},
        {{"-vx"}, {}, 1, "", "Quenwick: bad option '-x'" + TRY_HELP},
        {{"a.bin", "p", "b", "--bogus=1"}, {}, 1, "", "Quenwick: bad option '--bogus=1'" + TRY_HELP},
        {{"--verbose=yes", "a.bin", "p", "b"}, {}, 1, "", "Quenwick: bad option '--verbose=yes'" + TRY_HELP},
        {{"a.bin", "p", "b", "-b"}, {}, 1, "", "Quenwick: option '-b' needs a value" + TRY_HELP},
        {{"a.bin", "p", "b", "--baud"}, {}, 1, "", "Quenwick: option '--baud' needs a value" + TRY_HELP},
        {{"-b", "9600", "a.bin", "p", "b"}, {}, 1, "",
         "Quenwick: bad line speed '9600' (115200, 250000, 500000 or 1000000)" + TRY_HELP},
        {{"a.bin", "p", "b"}, {"QUENWICK_BAUD=1e6"}, 1, "",
         "Quenwick: bad line speed '1e6' in QUENWICK_BAUD (115200, 250000, 500000 or 1000000)" + TRY_HELP},
    };
    for (const Case& c : cases) {
        std::string name;
        for (const std::string& argument : c.environment) name += argument + " ";
        for (const std::string& argument : c.arguments) name += argument + " ";
        SCOPED_TRACE(name);
        const Subprocess::Outcome outcome = quenwick(c.arguments, c.environment);
        EXPECT_EQ(outcome.exitStatus, c.exitStatus);
        EXPECT_TRUE(std::regex_match(outcome.out, std::regex(c.out))) << outcome.out;
        EXPECT_EQ(outcome.err, c.err);
    }

    // Extra operands are ignored; options anywhere before "--" leave a
    // successful job silent.
    const Bytes bytes = randomBytes(100, 11);
    Board board(m_directory, {});
    const std::string sketch = image("sketch.bin", bytes).string();
    expectSuccess(quenwick({sketch, board.device, "", "ignored", "also ignored"}));
    expectSuccess(quenwick({"-b", "500000", sketch, board.device, "--baud=1000000", "--", "-v", "ignored"},
                           {"QUENWICK_VERBOSE=0"}));
    expectFlashHolds(board.stop(), bytes);
}

// Every line speed end to end; the board's log shows the speed it was asked
// for. An option wins over the environment, whose bad value is then unread.
TEST_F(EndToEndTest, EveryLineSpeed)
{
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> environment;
        const char* rate;
    };
    for (const Case& c : {Case{{}, {}, "115200"}, Case{{"-b", "250000"}, {"QUENWICK_BAUD=9600"}, "250000"},
                          Case{{"--baud=500000"}, {}, "500000"}, Case{{}, {"QUENWICK_BAUD=1000000"}, "1000000"}}) {
        SCOPED_TRACE(c.rate);
        const Bytes bytes = randomBytes(5000, 21);
        Board board(m_directory, {"--line-rate"});
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.end(), {image("sketch.bin", bytes).string(), board.device, "ZQ-WILLOW"});
        expectSuccess(quenwick(arguments, c.environment));
        expectFlashHolds(board.stop(), bytes);
        EXPECT_NE(readText(m_directory / "board.log").find(std::string("board port now at ") + c.rate + " baud"),
                  std::string::npos);
    }
}

// A verbose job: one line per step, then one per tenth of the image.
TEST_F(EndToEndTest, VerboseSteps)
{
    Board board(m_directory, {"--device-name", "ZQ\x01" "MAPLE"});
    const Subprocess::Outcome outcome =
        quenwick({"--verbose", "-b", "1000000", image("sketch.bin", randomBytes(10240, 5)).string(), board.device,
                  "ZQ-MAPLE"});
    board.stop();
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(outcome.out, "");
    std::string expected = "image 10240 bytes, 10 blocks of 1024\n"
                           "port " + board.device + " opened at 115200 baud\n"
                           "mode entry: DTR and break, then Baud Rate Set\n"
                           "device ZQ\\?MAPLE \\(code [0-9A-F ]{8}\\), code flash 262144 bytes, data flash [0-9]+ "
                           "bytes, firmware [0-9A-F ]{8}\n"
                           "line speed 1000000 baud\n"
                           "blank check: 10 blocks blank, 0 erased\n";
    for (int tenth = 1; tenth <= 10; ++tenth) {
        expected += "programming " + std::to_string(tenth * 10) + "%, " + std::to_string(tenth * 1024) +
                    " of 10240 bytes, [0-9.]+ KiB/s, [0-9.]+ s left\n";
    }
    expected += "checksum: host ([0-9A-F]{4}), target \\1\nwritten and verified in [0-9.]+ s, [0-9.]+ KiB/s\n";
    EXPECT_TRUE(std::regex_match(unstamped(outcome.err), std::regex(expected))) << outcome.err;
}

// A signal mid-job ends it at its next wait with the end steps (the line
// settings put back), the failure text and exit status 1; the board is then
// free for the next job.
TEST_F(EndToEndTest, ASignalStopsTheJobInOrder)
{
    const Bytes bytes = randomBytes(16 * 1024, 13);
    const std::string sketch = image("sketch.bin", bytes).string();
    Board board(m_directory, {"--line-rate"});
    const auto lineSettings = [&] {
        struct termios tio {};
        const int fd = ::open(board.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_EQ(::tcgetattr(fd, &tio), 0);
        ::close(fd);
        return std::make_tuple(tio.c_iflag, tio.c_oflag, tio.c_cflag, tio.c_lflag);
    };
    const auto found = lineSettings();
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        const size_t logged = readText(m_directory / "board.log").size();
        Subprocess job({QUENWICK_EXE, sketch, board.device, "X"});
        for (int i = 0; i < 3000 && readText(m_directory / "board.log").find("data frame", logged) == std::string::npos;
             ++i) {
            std::this_thread::sleep_for(10ms);
        }
        job.signal(signalNumber);
        expectFailure(job.finish(60s));
        EXPECT_EQ(lineSettings(), found) << "the end steps did not run";
    }
    // An answer still on its way to the stopped job is not the next job's.
    std::this_thread::sleep_for(200ms);
    expectSuccess(quenwick({sketch, board.device, "X"}));
    expectFlashHolds(board.stop(), bytes);
}

// ---------------------------------------------------------------------------
// Timing conformance: the board answers each exchange at a share of the time
// the protocol allows for it (quenwick-sim --answer-at), read back from the
// board's log. Only lower bounds on the host's times are checked.

// A line of the board's log: its time of day in milliseconds and its text.
struct LogLine {
    int64_t ms;
    std::string text;
};

std::vector<LogLine> boardLog(const fs::path& path)
{
    std::vector<LogLine> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const int64_t ms = ((std::stoll(line.substr(0, 2)) * 60 + std::stoll(line.substr(3, 2))) * 60 +
                            std::stoll(line.substr(6, 2))) * 1000 + std::stoll(line.substr(9, 3));
        lines.push_back({ms, line.substr(13)});
    }
    return lines;
}

// Now as the board's log writes it, in milliseconds since local midnight.
int64_t timeOfDayMs()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    return ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * int64_t{1000} +
           std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
}

bool fromHost(const LogLine& line)
{
    return line.text.starts_with("host> ") || line.text.starts_with("mode entry");
}

TEST_F(EndToEndTest, AnswersLateButInTimeAreTakenOnce)
{
    const Bytes bytes = randomBytes(3000, 21);
    Board board(m_directory, {"--answer-at", "0.9", "--flash-in", image("dirty.bin", randomBytes(8192, 22)).string()});
    expectSuccess(quenwick({image("sketch.bin", bytes).string(), board.device, "ZQ-WILLOW"}));
    expectFlashHolds(board.stop(), bytes);
    std::multiset<std::string> sent;
    for (const LogLine& line : boardLog(m_directory / "board.log")) {
        if (fromHost(line)) {
            EXPECT_EQ(sent.count(line.text), 0U) << "sent again: " << line.text;
            sent.insert(line.text);
        }
    }
    for (const char* exchange : {"Block Erase", "data frame, last", "Checksum"}) {
        EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [&](const std::string& text) {
            return text.ends_with(std::string("  ") + exchange);
        })) << exchange << " not in the log";
    }
}

// The host waits out each exchange's whole timeout: the next frame it sends
// (or its end) comes no sooner than the timeout after the board's last answer
// before the exchange began. A dirty board makes the job erase.
TEST_F(EndToEndTest, TheHostWaitsEachExchangesWholeTimeout)
{
    const fs::path dirty = image("dirty.bin", randomBytes(2048, 31));
    const struct {
        const char* exchange;
        const char* frame;  // how the log names the host's frame that opens the exchange
        int64_t timeoutMs;
        size_t imageSize;   // the completion status and Checksum's data frame need many blocks to tell them apart
    } rows[] = {
        {"baud", "Baud Rate Set", 200, 1024},
        {"reset", "Reset", 100, 1024},
        {"signature", "Silicon Signature", 100, 1024},
        {"signature-data", "Silicon Signature", 100, 1024},
        {"blank", "Block Blank Check", 100, 1024},
        {"erase", "Block Erase", 258, 1024},
        {"program", "Programming", 100, 1024},
        {"data", "data frame", 176, 1024},
        {"completion", "data frame, last", 386, 262144},
        {"checksum", "Checksum", 100, 1024},
        {"checksum-data", "Checksum", 246, 262144},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.exchange);
        const Bytes bytes = randomBytes(row.imageSize, 32);
        Board board(m_directory, {"--answer-at", "3", "--answer-only", row.exchange, "--flash-in", dirty.string()});
        const Subprocess::Outcome outcome = quenwick({image("sketch.bin", bytes).string(), board.device, "ZQ-WILLOW"});
        const int64_t end = timeOfDayMs();
        const Bytes flash = board.stop();
        if (outcome.exitStatus == 0) {
            expectFlashHolds(flash, bytes);
        }
        const std::vector<LogLine> log = boardLog(m_directory / "board.log");
        const auto opening = std::find_if(log.begin(), log.end(), [&](const LogLine& line) {
            return line.text.starts_with("host> ") && line.text.ends_with(std::string("  ") + row.frame);
        });
        ASSERT_NE(opening, log.end()) << row.frame << " not in the log";
        const auto answered = std::find_if(std::make_reverse_iterator(opening), log.rend(), [](const LogLine& line) {
            return line.text.starts_with("board> ") || line.text.starts_with("mode entry");
        });
        const int64_t since = answered == log.rend() ? opening->ms : answered->ms;
        const auto next = std::find_if(opening + 1, log.end(), fromHost);
        const int64_t waited = ((next == log.end() ? end : next->ms) - since + 86400000) % 86400000;
        EXPECT_GE(waited, row.timeoutMs) << (next == log.end() ? "the job ended" : "next: " + next->text);
    }
}

}  // namespace
