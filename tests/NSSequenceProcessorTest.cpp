// The programming sequence against a port that plays the board from a script:
// the line choreography, the failures a line can produce, what is retried and
// what never is, the padded last block and the checksum comparison.
#include "NSSequenceProcessor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>

#include "MainDispatchQueue.h"
#include "ScriptedPort.h"

namespace {

using Bytes = std::vector<uint8_t>;
using P = ScriptedPort&;
constexpr char PORT[] = "/dev/scripted";
constexpr uint8_t ACK = 0x06;

// Our own frame writer, so that a mistake in the program's builder cannot hide
// in the expected bytes: head, data, the sum of all but the first byte, end.
Bytes frame(Bytes head, const Bytes& data, uint8_t end) {
    head.insert(head.end(), data.begin(), data.end());
    head.push_back(static_cast<uint8_t>(0 - std::accumulate(head.begin() + 1, head.end(), 0u)));
    head.push_back(end);
    return head;
}
Bytes command(uint8_t code, const Bytes& data = {}) {
    return frame({0x01, static_cast<uint8_t>(data.size() + 1), code}, data, 0x03);
}
// 256 data bytes carry the length byte 0; ETB ends all but the last frame.
Bytes dataFrame(const Bytes& data, bool last = true) {
    return frame({0x02, static_cast<uint8_t>(data.size())}, data, last ? 0x03 : 0x17);
}
Bytes status(uint8_t st1) { return dataFrame({st1}); }
Bytes status(uint8_t st1, uint8_t st2) { return dataFrame({st1, st2}); }
// The head, then three bytes per address, low byte first, then the tail.
Bytes addresses(std::initializer_list<uint32_t> list, Bytes head = {}, Bytes tail = {}) {
    for (uint32_t a : list) {
        head.insert(head.end(), {static_cast<uint8_t>(a), static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a >> 16)});
    }
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}
Bytes baudRateSet(uint8_t code) { return command(0x9A, {code, 0x21}); }
Bytes reset() { return command(0x00); }
Bytes siliconSignature() { return command(0xC0); }
Bytes blankCheck(uint32_t block) { return command(0x32, addresses({block, block + 1023}, {}, {0x00})); }
Bytes erase(uint32_t block) { return command(0x22, addresses({block})); }
Bytes programming(uint32_t end) { return command(0x40, addresses({0, end})); }
Bytes checksum(uint32_t end) { return command(0xB0, addresses({0, end})); }

// The image as the target receives it: whole blocks, the last padded with 0xFF.
Bytes padded(const Bytes& image) {
    Bytes blocks = image;
    blocks.resize((image.size() + 1023) / 1024 * 1024, 0xFF);
    return blocks;
}
uint32_t endAddress(const Bytes& image) { return static_cast<uint32_t>(padded(image).size() - 1); }
Bytes imageFrame(const Bytes& image, size_t i) {  // i from 0
    const Bytes blocks = padded(image);
    const auto from = blocks.begin() + static_cast<std::ptrdiff_t>(i * 256);
    return dataFrame(Bytes(from, from + 256), (i + 1) * 256 == blocks.size());
}
// CK2 and CK1: the low 16 bits of 0 minus every byte the target received.
uint16_t targetChecksum(const Bytes& image) {
    const Bytes blocks = padded(image);
    return static_cast<uint16_t>(0 - std::accumulate(blocks.begin(), blocks.end(), 0u));
}

// DTR and break of one mode entry, in order, and the single 0x00 byte.
void lineChoreography(P p, bool inverted = false, uint64_t zeroByteResult = 0) {
    p.expectDtr(!inverted).expectBreak(true).expectFlush().expectDtr(inverted).expectBreak(false);
    p.expectSend({0x00}, zeroByteResult);
}

// Silicon Signature answered at once; its data arrives in two parts.
void signature(P p, uint32_t codeEnd = 0xFFFF) {
    // Device code and name, then code flash end, data flash end and version.
    const Bytes name{0x10, 0x00, 0x06, 'T', 'E', 'S', 'T', 'C', 'H', 'I', 'P', '0', '1'};
    const Bytes data = dataFrame(addresses({codeEnd, 0x0F1FFF, 0x030201}, name));
    p.expectSend(siliconSignature()).answer(status(ACK)).answer({data.begin(), data.begin() + 9});
    p.answer({data.begin() + 9, data.end()}, 5);
}

// A mode entry answered at once.
void modeEntry(P p, bool inverted = false, uint8_t baud = 0, uint32_t codeEnd = 0xFFFF) {
    lineChoreography(p, inverted);
    p.expectSend(baudRateSet(baud)).answer(status(ACK));
    if (baud != 0) {
        p.expectSpeed(std::vector<uint64_t>{115200, 250000, 500000, 1000000}[baud]);
    }
    p.expectSend(reset()).answer(status(ACK));
    signature(p, codeEnd);
}

// Blank checks of every block; the blocks listed in notBlank are erased.
void blankCheckAndErase(P p, const Bytes& image, const std::vector<uint32_t>& notBlank = {}) {
    for (uint32_t block = 0; block < endAddress(image); block += 1024) {
        const bool dirty = std::find(notBlank.begin(), notBlank.end(), block) != notBlank.end();
        p.expectSend(blankCheck(block)).answer(status(dirty ? 0x1B : ACK));
        if (dirty) {
            p.expectSend(erase(block)).answer(status(ACK));
        }
    }
}

// The Programming command and the first n data frames acknowledged; with
// every frame acknowledged, the final status.
void program(P p, const Bytes& image, size_t n = SIZE_MAX) {
    p.expectSend(programming(endAddress(image))).answer(status(ACK));
    const size_t frames = padded(image).size() / 256;
    for (size_t i = 0; i < std::min(n, frames); ++i) {
        p.expectSend(imageFrame(image, i)).answer(status(ACK));
    }
    if (n >= frames) {
        p.answer(status(ACK));
    }
}

// The rest of a job after the mode entry.
void fullJob(P p, const Bytes& image, const std::vector<uint32_t>& notBlank = {}) {
    blankCheckAndErase(p, image, notBlank);
    program(p, image);
    const uint16_t sum = targetChecksum(image);
    p.expectSend(checksum(endAddress(image))).answer(status(ACK));
    p.answer(dataFrame({static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8)}));
}

Bytes pattern(size_t size) {
    Bytes image(size);
    for (size_t i = 0; i < size; ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + i / 256);  // no two data frames alike
    }
    return image;
}

// This process's images, removed when it ends.
const std::filesystem::path SCRATCH =
    std::filesystem::temp_directory_path() / ("quenwick-seqtest-" + std::to_string(getpid()));
const struct RemoveScratch {
    ~RemoveScratch() { std::filesystem::remove_all(SCRATCH); }
} removeScratch;

std::string writeImage(const Bytes& image, const std::string& name) {
    std::filesystem::create_directories(SCRATCH);
    std::ofstream(SCRATCH / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return (SCRATCH / name).string();
}

// A one-block image of 1000 bytes: four data frames, the last padded.
const Bytes IMAGE = pattern(1000);
const std::string IMAGE_PATH = writeImage(IMAGE, "1000.bin");

// A job on IMAGE up to the data frame n (from 0), which is still to be sent.
void toFrame(P p, size_t n) {
    modeEntry(p);
    blankCheckAndErase(p, IMAGE);
    program(p, IMAGE, n);
}

struct Job : NSSequenceProcessorDelegate {
    uint64_t result = 0;
    _RESULTINFO info{};
    std::vector<std::string> log;
    std::string problems;
    uint64_t elapsedMs = 0;
    std::vector<uint64_t> eventTimes;
    void delegateAddLog(const std::string& strLog) override { log.push_back(strLog); }
};

// Runs one job: the port opens, the script plays, and the job must end with
// DTR back in its first state and the port closed.
Job run(const std::function<void(P)>& script, const std::string& path = IMAGE_PATH, uint8_t baud = 0,
        bool inverted = false, const std::function<void(P)>& finish = {}) {
    auto port = std::make_unique<ScriptedPort>();
    ScriptedPort& board = *port;
    board.expectOpen(PORT);
    script(board);
    board.expectDtr(!inverted).expectClose();
    if (finish) {
        finish(board);
    }
    auto sequence = std::make_shared<NSSequenceProcessor>(std::move(port));
    Job job;
    sequence->setDelegate(&job);
    _CONTEXTINFO context{};
    std::snprintf(context.PortName, sizeof context.PortName, "%s", PORT);
    std::snprintf(context.TargetFileInfo.FilePath, sizeof context.TargetFileInfo.FilePath, "%s", path.c_str());
    context.BaudRate = baud;
    context.pResultInfo = &job.info;
    const uint64_t started = board.Now();
    job.result = sequence->start(context);
    job.elapsedMs = board.Now() - started;
    MainDispatchQueue::drain();
    sequence->setDelegate(nullptr);
    job.problems = board.problems();
    job.eventTimes = board.eventTimes();
    return job;
}

const std::string MODE = "## Programming Mode\n", BLANK = "## Block Blank Check & Erace...", OK = " OK\n",
                  PROGRAM = "## Programming...";

}  // namespace

TEST(NSSequenceProcessor, ResultTextsAndHostChecksum) {
    const std::pair<uint64_t, const char*> texts[] = {
        {0x0000, " OK\n"},
        {0x1000, " Error\nエラー：シリアルポート情報の取得失敗\n"},
        {0x1001, " Error\nエラー：シリアルポートが未選択\n"},
        {0x1002, " Error\nエラー：シリアルポートのオープンエラー\n"},
        {0x2000, " Error\nエラー：初期化失敗\n"},
        {0x2001, " Error\nエラー：フレームフォーマットが不正\n"},
        {0x2002, " Error\nエラー：パラメータが不正\n"},
        {0x2003, " Error\nエラー：SUMが不正\n"},
        {0x2004, " Error\nエラー：送信失敗\n"},
        {0x2005, " Error\nエラー：受信タイムアウト\n"},
        {0x2006, " Error\nエラー：送信タイムアウト\n"},
        {0x2007, " Error\nエラー：コマンド・フレームに対する異常終了\n"},
        {0x2008, " Error\nエラー：データ・フレームに対する異常終了\n"},
        {0x2009, " Error\nエラー：モード引き込み処理のタイムアウト\n"},
        {0x200A, " Error\nエラー：ブランクではない\n"},
        {0x200B, " Error\nエラー：ボーレート変更失敗\n"},
        {0x200C, " Error\nエラー：バッファーオーバーフロー\n"},
        {0x200D, " Error\nエラー：Cehcksumコマンドで取得した値とGUIで算出した値が異なる\n"},
        {0x3000, " Error\nエラー：ファイルが存在しません。\n"},
        {0x3001, " Error\nエラー：未対応形式\n"},
        {0x3002, " Error\nエラー：ファイルのサイズが不正です。\n"},
        {0x3003, " Error\nエラー：ファイルの読みこみに失敗しました。\n"},
        {0x3004, " Error\nエラー：コード・フラッシュ・メモリのサイズが不正\n"},
        {0x3005, " Error\nエラー：データ・フラッシュ・メモリのサイズが不正\n"},
        {0x3006, " Error\nエラー：コード・フラッシュ・メモリの開始アドレスが不正\n"},
        {0x3007, " Error\nエラー：データ・フラッシュ・メモリの開始アドレスが不正\n"},
        {0x3008, " Error\nエラー：不明なエラーが発生しました\n"},
        {0x100002009, " Error\nエラー：不明なエラーが発生しました\n"},
    };
    for (const auto& [code, text] : texts) {
        EXPECT_EQ(NSSequenceProcessor::getResultText(code), text) << std::hex << code;
    }
    const Bytes abc{'a', 'b', 'c'};
    uint32_t sum = 0;
    std::make_shared<NSSequenceProcessor>(std::make_unique<ScriptedPort>())->getChecksum(abc.data(), 3, &sum);
    EXPECT_EQ(sum, 0xFFFC05D7u) << "abc and 1021 bytes of 0xFF";
}

TEST(NSSequenceProcessor, SuccessfulJobs) {
    const struct {
        const char* what;
        size_t size;
        std::vector<uint32_t> notBlank;
        uint8_t baud;
        uint32_t codeEnd;
    } cases[] = {
        {"1 byte: one padded block, 250000 baud", 1, {}, 1, 0xFFFF},
        {"1500 bytes: frames 5 to 8 from the padded last block, block 0 erased", 1500, {0}, 2, 0xFFFF},
        {"2048 bytes, as large as the code flash, block 1 erased", 2048, {0x400}, 3, 0x7FF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes image = pattern(c.size);
        const Job job = run(
            [&](P p) {
                modeEntry(p, false, c.baud, c.codeEnd);
                fullJob(p, image, c.notBlank);
            },
            writeImage(image, "ok.bin"), c.baud);
        EXPECT_EQ(job.problems, "");
        EXPECT_EQ(job.result, RESULT_OK);
        EXPECT_EQ(job.info.Result, RESULT_OK);
        EXPECT_EQ(job.info.ComInfo.Command, 0xB0) << "the result record carries the last exchange";
        EXPECT_EQ(job.log, (std::vector<std::string>{MODE, BLANK, OK, PROGRAM, OK, "## Write Complete"}));
    }
}

TEST(NSSequenceProcessor, ModeEntryIsTriedOnceMoreWithTheOtherDtrPolarity) {
    // Only the first Baud Rate Set frame leaves inside the 100 ms window; an
    // answer to a later one comes too late (0x2009), and so does none at all.
    const Job late = run(
        [](P p) {
            lineChoreography(p);
            p.expectSend(baudRateSet(0)).expectSend(baudRateSet(0)).answer(status(ACK));
            modeEntry(p, true);
            fullJob(p, IMAGE);
        },
        IMAGE_PATH, 0, true);
    EXPECT_EQ(late.problems, "");
    EXPECT_EQ(late.result, RESULT_OK);

    const Job silent = run(
        [](P p) {
            lineChoreography(p);
            for (int i = 0; i < 5; ++i) {
                p.expectSend(baudRateSet(0));
            }
            lineChoreography(p, true);
            p.expectSend(baudRateSet(0)).expectSend(baudRateSet(0)).answer(status(ACK));
        },
        IMAGE_PATH, 0, true);
    EXPECT_EQ(silent.problems, "") << "no third mode entry";
    EXPECT_EQ(silent.result, ERR_MODE_ENTRY_TIMEOUT) << "not ERR_RECV_TIMEOUT";
    EXPECT_EQ(silent.info.ComInfo.Command, 0x9A);
    EXPECT_EQ(silent.info.ComInfo.Retry, 1u);
    EXPECT_EQ(silent.log, (std::vector<std::string>{MODE, "## Write Failed"}));
    EXPECT_GE(silent.elapsedMs, 6 * (1 + 200 + 100)) << "six silent attempts";
}

TEST(NSSequenceProcessor, FailuresOnTheLine) {
    // The board plays `prefix`, then expects `sent` `times` times (the host's
    // write returning `sendResult`), then answers.
    struct Row {
        const char* what;
        std::function<void(P)> prefix;
        Bytes sent;
        int times;
        uint64_t sendResult;
        std::vector<Bytes> answers;
        uint64_t result;
        uint8_t command;  // of the last exchange
        uint64_t retry;
        uint8_t baud = 0;
        uint64_t minMs = 0;
        bool hangUp = false;  // after the sends the device hangs up
    };
    const auto none = [](P) {};
    const auto toBaudRateSet = [](P p) { lineChoreography(p); };
    const auto toReset = [](P p) { lineChoreography(p); p.expectSend(baudRateSet(0)).answer(status(ACK)); };
    const auto toSignature = [&](P p) { toReset(p); p.expectSend(reset()).answer(status(ACK)); };
    const auto toBlankCheck = [](P p) { modeEntry(p); };
    const auto to = [](size_t n) { return [n](P p) { toFrame(p, n); }; };
    const auto toChecksum = to(SIZE_MAX);
    const Bytes brs = baudRateSet(0), ss = siliconSignature(), blank0 = blankCheck(0), cks = checksum(0x3FF);
    const uint16_t ck = targetChecksum(IMAGE);
    const Row rows[] = {
        {"baud-rate code 4, before any line change", none, {}, 0, 0, {}, ERR_PARAMETER, 0x00, 0, 4},
        {"0x00 byte not written", [](P p) { lineChoreography(p, false, ERR_SEND); }, {}, 0, 0, {}, ERR_SEND, 0x00, 0},
        {"Baud Rate Set not written: no second attempt", toBaudRateSet, brs, 1, ERR_SEND, {}, ERR_SEND, 0x9A, 0},
        {"Baud Rate Set answered with 6 bytes", toBaudRateSet, brs, 1, 0, {status(ACK, ACK)}, ERR_RECV_TIMEOUT,
         0x9A, 0},
        {"Baud Rate Set refused in 7 bytes: no second attempt", toBaudRateSet, brs, 1, 0, {dataFrame({0x15, 1, 2})},
         ERR_COMMAND_FRAME, 0x9A, 0},
        {"7-byte Baud Rate Set answer ending in ETB", toBaudRateSet, brs, 1, 0, {dataFrame({ACK, 1, 2}, false)},
         ERR_FRAME_FORMAT, 0x9A, 0},
        {"speed change fails: no Reset",
         [](P p) {
             lineChoreography(p);
             p.expectSend(baudRateSet(1)).answer(status(ACK)).expectSpeed(250000, ERR_BAUD_RATE);
         },
         {}, 0, 0, {}, ERR_BAUD_RATE, 0x9A, 0, 1},
        {"Reset silent twice, then refused", toReset, reset(), 3, 0, {status(0x15)}, ERR_COMMAND_FRAME, 0x00, 2, 0,
         2 * (1 + 100 + 100)},
        {"a stray byte before Reset's answer stays: every attempt runs out", toReset, reset(), 5, 0,
         {{0xFF}, status(ACK)}, ERR_RECV_TIMEOUT, 0x00, 4},
        {"Reset never answered: five frames", toReset, reset(), 5, 0, {}, ERR_RECV_TIMEOUT, 0x00, 4, 0,
         5 * (1 + 101 + 101)},
        {"device hangs up while Reset waits: no second frame", toReset, reset(), 1, 0, {}, ERR_RECV_TIMEOUT, 0x00,
         0, 0, 0, true},
        {"device hangs up while a data frame waits", to(1), imageFrame(IMAGE, 1), 1, 0, {}, ERR_RECV_TIMEOUT,
         0x40, 0, 0, 0, true},
        {"signature data never comes: no second command", toSignature, ss, 1, 0, {status(ACK)}, ERR_RECV_TIMEOUT,
         0xC0, 0},
        {"image larger than the code flash: no flash command", [](P p) { modeEntry(p, false, 0, 998); }, {}, 0, 0,
         {}, ERR_CODE_FLASH_SIZE, 0xC0, 0},
        {"blank check silent: no second attempt", toBlankCheck, blank0, 1, 0, {}, ERR_RECV_TIMEOUT, 0x32, 0},
        {"blank check answered 0x04", toBlankCheck, blank0, 1, 0, {status(0x04)}, ERR_COMMAND_FRAME, 0x32, 0},
        {"blank check answered with 6 bytes", toBlankCheck, blank0, 1, 0, {status(0x1B, 0x1B)}, ERR_RECV_TIMEOUT,
         0x32, 0},
        {"erase refused", [](P p) { modeEntry(p); p.expectSend(blankCheck(0)).answer(status(0x1B)); }, erase(0), 1,
         0, {status(0x04)}, ERR_COMMAND_FRAME, 0x22, 0},
        {"data frame refused: never retried", to(1), imageFrame(IMAGE, 1), 1, 0, {status(0x15)},
         ERR_DATA_FRAME, 0x40, 0},
        {"data frame half acknowledged (06 15)", to(0), imageFrame(IMAGE, 0), 1, 0, {status(ACK, 0x15)},
         ERR_DATA_FRAME, 0x40, 0},
        {"data frame answered with 7 bytes: never retried", to(0), imageFrame(IMAGE, 0), 1, 0,
         {dataFrame({ACK, ACK, ACK})}, ERR_RECV_TIMEOUT, 0x40, 0},
        {"data frame status with sum F8 (not F9): never retried", to(0), imageFrame(IMAGE, 0), 1, 0,
         {{0x02, 0x01, ACK, 0xF8, 0x03}}, ERR_SUM, 0x40, 0},
        {"data frame not written: five attempts", to(2), imageFrame(IMAGE, 2), 5, ERR_SEND, {}, ERR_SEND, 0x40,
         4},
        {"final status with 6 bytes", to(3), imageFrame(IMAGE, 3), 1, 0, {status(ACK), status(ACK, ACK)},
         ERR_RECV_TIMEOUT, 0x40, 0},
        {"checksum data of one byte", toChecksum, cks, 1, 0, {status(ACK), dataFrame({0xD7})}, ERR_RECV_TIMEOUT,
         0xB0, 0},
        {"CK1 differs", toChecksum, cks, 1, 0, {status(ACK), dataFrame({uint8_t(ck ^ 1), uint8_t(ck >> 8)})},
         ERR_CHECKSUM_MISMATCH, 0xB0, 0},
        {"CK2 differs", toChecksum, cks, 1, 0, {status(ACK), dataFrame({uint8_t(ck), uint8_t((ck >> 8) ^ 1)})},
         ERR_CHECKSUM_MISMATCH, 0xB0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Job job = run(
            [&](P p) {
                row.prefix(p);
                for (int i = 0; i < row.times; ++i) {
                    p.expectSend(row.sent, row.sendResult);
                }
                for (const Bytes& answer : row.answers) {
                    p.answer(answer);
                }
                if (row.hangUp) {
                    p.hangUp(10);
                }
            },
            IMAGE_PATH, row.baud);
        EXPECT_EQ(job.problems, "");
        EXPECT_EQ(job.result, row.result);
        EXPECT_EQ(job.info.Result, row.result);
        EXPECT_EQ(job.info.ComInfo.Command, row.command);
        EXPECT_EQ(job.info.ComInfo.Retry, row.retry);
        EXPECT_EQ(job.log.back(), "## Write Failed");
        EXPECT_GE(job.elapsedMs, row.minMs);
        if (row.hangUp) {
            EXPECT_LT(job.elapsedMs, 100u) << "a hung-up device ends the exchange at once";
        }
    }
}

TEST(NSSequenceProcessor, EveryExchangeWaitsExactlyItsOwnTimeout) {
    // A 105-block job at 32 MHz, block 0 erased. Each row delays one answer
    // (numbered in script order) to the last moment the host still takes it,
    // `timeout` + 1 ms after its frame left (the wait runs while no more than
    // `timeout` ms have passed), and then 1 ms later. Late, an exchange with
    // attempts takes the answer after its 100 ms pause without sending again
    // (the clock shows the pause); an exchange of one wait fails. The usual
    // job waits 5 ms for the second part of the signature data.
    constexpr uint32_t BLOCKS = 105;
    const Bytes image = pattern(BLOCKS * 1024);
    const std::string path = writeImage(image, "105.bin");
    const auto job = [&](size_t answer, uint64_t delayMs) {
        return run([&](P p) { modeEntry(p, false, 0, 0x3FFFF); fullJob(p, image, {0}); }, path, 0, false,
                   [&](P p) {
                       if (answer != SIZE_MAX) {
                           p.retime(answer, delayMs, false);
                       }
                   });
    };
    const struct {
        const char* what;
        size_t answer;
        uint64_t timeout;
        bool attempts;
        uint64_t usualDelay = 0;
    } rows[] = {
        {"Baud Rate Set", 0, 200, true},
        {"Reset", 1, 100, true},
        {"Silicon Signature status", 2, 100, true, 5},
        {"Silicon Signature data", 4, 100, false, 5},
        {"blank check", 5, 100, false},
        {"Block Erase", 6, 258, true},
        {"Programming", BLOCKS + 6, 100, true},
        {"a data frame's status", BLOCKS + 7, 176, true},
        {"the completion status", 5 * BLOCKS + 7, 218, true},
        {"Checksum status", 5 * BLOCKS + 8, 100, true},
        {"Checksum data, for 105 blocks", 5 * BLOCKS + 9, 101, false},
    };
    const Job usual = job(SIZE_MAX, 0);
    ASSERT_EQ(usual.result, RESULT_OK) << usual.problems;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Job inTime = job(row.answer, row.timeout + 1);
        EXPECT_EQ(inTime.problems, "");
        EXPECT_EQ(inTime.result, RESULT_OK);
        EXPECT_EQ(inTime.elapsedMs - usual.elapsedMs, row.timeout + 1 - row.usualDelay) << "a pause where none belongs";
        const Job late = job(row.answer, row.timeout + 2);
        if (row.attempts) {
            EXPECT_EQ(late.problems, "") << "the frame went out again";
            EXPECT_EQ(late.result, RESULT_OK);
            EXPECT_EQ(late.elapsedMs - usual.elapsedMs, row.timeout + 1 + 101 - row.usualDelay);
        } else {
            EXPECT_EQ(late.result, ERR_RECV_TIMEOUT);
        }
    }

    // The last attempt of a command is followed by its pause too, and an
    // answer that comes during it counts; the last attempt of a data frame is
    // not: the job ends as its wait runs out.
    const Job lastPause = run([](P p) {
        lineChoreography(p);
        p.expectSend(baudRateSet(0)).answer(status(ACK));
        for (int i = 0; i < 5; ++i) {
            p.expectSend(reset());
        }
        p.answer(status(ACK), 100 + 1 + 100);
        signature(p);
        fullJob(p, IMAGE);
    });
    EXPECT_EQ(lastPause.problems, "");
    EXPECT_EQ(lastPause.result, RESULT_OK);
    const Job noPause = run([](P p) {
        toFrame(p, 0);
        for (int i = 0; i < 5; ++i) {
            p.expectSend(imageFrame(IMAGE, 0));
        }
    });
    EXPECT_EQ(noPause.result, ERR_RECV_TIMEOUT);
    ASSERT_GE(noPause.eventTimes.size(), 3u);
    EXPECT_EQ(noPause.eventTimes.back() - noPause.eventTimes[noPause.eventTimes.size() - 3], 176u + 1)
        << "from the last data frame to the end steps: its wait and no pause";
}

TEST(NSSequenceProcessor, AnAnswerThatHasArrivedIsTakenAndItsFrameNeverSentAgain) {
    // Answer numbers in a good one-block job: 1 Reset, 5 blank check, 8 the
    // second data frame, 11 the completion status, 13 the checksum data.
    // Timeouts: Reset 100 ms, data frame 176, completion 102, each followed by
    // a 100 ms pause. The script expects every frame once.
    const struct {
        const char* what;
        size_t answer;
        uint64_t delayMs;
        bool duringStall;
    } rows[] = {
        {"Reset answered during the pause after its timeout", 1, 100 + 1 + 50, false},
        {"Reset answer reached the device during a stall", 1, 10, true},
        {"blank check answer reached the device during a stall", 5, 10, true},
        {"data frame status answered during the pause", 8, 176 + 1 + 50, false},
        {"data frame status reached the device during a stall", 8, 10, true},
        {"completion status answered during the pause", 11, 102 + 1 + 50, false},
        {"checksum data reached the device during a stall", 13, 10, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Job job = run([](P p) { modeEntry(p); fullJob(p, IMAGE); }, IMAGE_PATH, 0, false,
                            [&](P p) { p.retime(row.answer, row.delayMs, row.duringStall); });
        EXPECT_EQ(job.problems, "");
        EXPECT_EQ(job.result, RESULT_OK);
    }
}

TEST(NSSequenceProcessor, DataFramesThatFailToLeaveOrGetNoAnswerGoOutAgain) {
    const Job job = run([](P p) {
        modeEntry(p);
        blankCheckAndErase(p, IMAGE);
        p.expectSend(programming(0x3FF)).answer(status(ACK));
        // Frame 1 not written once, frame 2 not answered once; 06 06 acknowledges too.
        p.expectSend(imageFrame(IMAGE, 0), ERR_SEND).expectSend(imageFrame(IMAGE, 0)).answer(status(ACK, ACK));
        p.expectSend(imageFrame(IMAGE, 1)).expectSend(imageFrame(IMAGE, 1)).answer(status(ACK));
        p.expectSend(imageFrame(IMAGE, 2)).answer(status(ACK));
        // No final status in time: the last frame goes out again; its final status is refused.
        p.expectSend(imageFrame(IMAGE, 3)).answer(status(ACK));
        p.expectSend(imageFrame(IMAGE, 3)).answer(status(ACK)).answer(status(0x05));
    });
    EXPECT_EQ(job.problems, "");
    EXPECT_EQ(job.result, ERR_DATA_FRAME);
    EXPECT_EQ(job.info.ComInfo.Retry, 1u);
    const std::string text(NSSequenceProcessor::getResultText(ERR_DATA_FRAME));
    EXPECT_EQ(job.log, (std::vector<std::string>{MODE, BLANK, OK, PROGRAM, text, "## Write Failed"}));
}
