// The built Quenwick executable against the simulated board over a
// pseudo-terminal: exit status, the exact bytes on stdout and stderr, and the
// board's flash read back afterwards.
#include <gtest/gtest.h>

#include <signal.h>
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
#include <string>
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
constexpr size_t BLOCK = 1024;

using Bytes = std::vector<uint8_t>;

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
                if (lines.size() > 40) {
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

    static Subprocess::Outcome quenwick(const std::vector<std::string>& arguments)
    {
        std::vector<std::string> argv{QUENWICK_EXE};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return Subprocess::run(argv, 300s);
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
        expectSuccess(quenwick({image("sketch.bin", last).string(), board.device, "ZQ-WILLOW"}));
    }
    expectFlashHolds(board.stop(), last);
}

TEST_F(EndToEndTest, BoardsThatNeedErasingOrTheOtherPolarity)
{
    const Bytes bytes = randomBytes(3000, 7);
    struct Case {
        const char* name;
        std::vector<std::string> options;
    };
    const fs::path dirty = image("dirty.bin", randomBytes(8192, 8));
    for (const Case& c : {Case{"not blank", {"--flash-in", dirty.string()}},
                          Case{"other DTR polarity", {"--fault", "from-entry:2"}},
                          Case{"long Baud Rate Set answer, two status bytes",
                               {"--fault", "long-baud", "--fault", "double-status"}}}) {
        SCOPED_TRACE(c.name);
        Board board(m_directory, c.options);
        expectSuccess(quenwick({image("sketch.BIN", bytes).string(), board.device, "ZQ-MAPLE"}));
        expectFlashHolds(board.stop(), bytes);
    }
}

TEST_F(EndToEndTest, FailuresPrintTheFailureTextOnly)
{
    const fs::path sketch = image("sketch.bin", randomBytes(2000, 3));
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string imagePath;
    };
    const std::vector<Case> cases = {
        {"silent board", {"--fault", "silent:baud"}, sketch.string()},
        {"image too large", {"--code-flash-end", "0xFFFF"}, image("large.bin", Bytes(65537, 0x5A)).string()},
        {"checksum mismatch", {"--fault", "flip:0x10"}, sketch.string()},
        {"missing image", {}, (m_directory / "missing.bin").string()},
        {"wrong image format", {}, image("sketch.hex", Bytes(16, 1)).string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Board board(m_directory, c.options);
        expectFailure(quenwick({c.imagePath, board.device, "ZQ-WILLOW"}));
        board.stop();
    }
    expectFailure(quenwick({sketch.string(), (m_directory / "no-such-port").string(), "ZQ-WILLOW"}));
    expectFailure(quenwick({sketch.string(), "", "ZQ-WILLOW"}));
}

TEST_F(EndToEndTest, UsageAndExtraArguments)
{
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{}, {"sketch.bin"}, {"sketch.bin", "/dev/null"}}) {
        const Subprocess::Outcome outcome = quenwick(arguments);
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_EQ(outcome.out, USAGE_TEXT);
        EXPECT_EQ(outcome.err, "");
    }

    const Bytes bytes = randomBytes(100, 11);
    Board board(m_directory, {});
    expectSuccess(quenwick({image("sketch.bin", bytes).string(), board.device, "", "ignored", "also ignored"}));
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
