// The sequence as a whole: result texts, addresses and checksums, the log
// path, successful jobs and how a job ends when it cannot start.
#include <cstring>

#include "SequenceTestSupport.h"

using namespace seqtest;

namespace {

std::shared_ptr<NSSequenceProcessor> idleSequence() {
    return std::make_shared<NSSequenceProcessor>(std::make_unique<ScriptedPort>());
}

}  // namespace

TEST(NSSequenceProcessor, ResultTexts) {
    const std::pair<uint64_t, const char*> table[] = {
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
    };
    for (const auto& [code, text] : table) {
        EXPECT_EQ(NSSequenceProcessor::getResultText(code), text) << std::hex << "code 0x" << code;
    }
    const std::string_view unknown = " Error\nエラー：不明なエラーが発生しました\n";
    for (uint64_t code : {uint64_t{1}, uint64_t{0x1003}, uint64_t{0x200E}, uint64_t{0x3008}, uint64_t{0x10000},
                          uint64_t{0x100002009}, ~uint64_t{0}}) {
        EXPECT_EQ(NSSequenceProcessor::getResultText(code), unknown) << std::hex << "code 0x" << code;
    }
}

TEST(NSSequenceProcessor, AddressesAndHostChecksum) {
    auto sequence = idleSequence();
    EXPECT_EQ(sequence->makeAddress(0xFF, 0x07, 0x00), 0x0007FFu);
    EXPECT_EQ(sequence->makeAddress(0x00, 0x10, 0x0F), 0x0F1000u);
    uint8_t high = 0, mid = 0, low = 0;
    sequence->splitAddress(0x0F1000, &high, &mid, &low);
    EXPECT_EQ((Bytes{high, mid, low}), (Bytes{0x0F, 0x10, 0x00}));
    sequence->splitAddress(0x12345678, &high, &mid, &low);  // bits above 23 are dropped
    EXPECT_EQ((Bytes{high, mid, low}), (Bytes{0x34, 0x56, 0x78}));

    uint32_t sum = 0;
    const Bytes abc{0x61, 0x62, 0x63};
    sequence->getChecksum(abc.data(), abc.size(), &sum);
    EXPECT_EQ(sum, 0xFFFC05D7u) << "abc padded with 1021 bytes of 0xFF";
    const Bytes ones(1024, 0xFF);
    sequence->getChecksum(ones.data(), ones.size(), &sum);
    EXPECT_EQ(sum & 0xFFFF, 0x0400u);
    sequence->getChecksum(ones.data(), 1, &sum);
    EXPECT_EQ(sum & 0xFFFF, 0x0400u) << "one byte of 0xFF counts as a whole block of them";
    const Bytes image = pattern(1500);
    sequence->getChecksum(image.data(), image.size(), &sum);
    EXPECT_EQ(static_cast<uint16_t>(sum), targetChecksum(image));
}

TEST(NSSequenceProcessor, OurFrameWriterMatchesTheProtocolExamples) {
    // The expected frames of these tests come from our own writer; pin it.
    EXPECT_EQ(ScriptedPort::hex(reset()), "01 01 00 FF 03");
    EXPECT_EQ(ScriptedPort::hex(baudRateSet(3)), "01 03 9A 03 21 3F 03");
    EXPECT_EQ(ScriptedPort::hex(blankCheck(0)), "01 08 32 00 00 00 FF 03 00 00 C4 03");
    EXPECT_EQ(ScriptedPort::hex(erase(0x400)), "01 04 22 00 04 00 D6 03");
    EXPECT_EQ(ScriptedPort::hex(programming(0x7FF)), "01 07 40 00 00 00 FF 07 00 B3 03");
    EXPECT_EQ(ScriptedPort::hex(dataFrame({0x61, 0x62, 0x63}, false)), "02 03 61 62 63 D7 17");
    EXPECT_EQ(ScriptedPort::hex(status(ACK, ACK)), "02 02 06 06 F2 03");
}

TEST(NSSequenceProcessor, LogLinesReachTheDelegateOnlyWhereTheQueueIsDrained) {
    MainDispatchQueue::drain();
    auto sequence = idleSequence();
    sequence->addLog("dropped: no delegate yet");

    LogCollector log;
    sequence->setDelegate(&log);
    sequence->addLog("first");
    sequence->addLog("second");
    EXPECT_TRUE(log.lines.empty()) << "delivered before the queue was drained";
    MainDispatchQueue::drain();
    EXPECT_EQ(log.lines, (std::vector<std::string>{"first", "second"}));

    // A pending line keeps the sequence alive, and asks for the delegate only
    // when it runs.
    sequence->addLog("third");
    std::weak_ptr<NSSequenceProcessor> watch = sequence;
    sequence.reset();
    EXPECT_FALSE(watch.expired());
    MainDispatchQueue::drain();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(log.lines.back(), "third");

    auto other = idleSequence();
    other->setDelegate(&log);
    other->addLog("never shown");
    other->setDelegate(nullptr);
    MainDispatchQueue::drain();
    EXPECT_EQ(log.lines.size(), 3u);
}

TEST(NSSequenceProcessor, SuccessfulJobs) {
    struct Case {
        const char* what;
        size_t size;
        std::vector<uint32_t> notBlank;
    };
    const Case cases[] = {
        {"one byte: one block, padded", 1, {}},
        {"1500 bytes: frames 5 to 8 from the padded last block", 1500, {0x400}},
        {"2048 bytes: two whole blocks", 2048, {0}},
        {"blocks 0 and 2 blank, block 1 erased", 2100, {0x400}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes image = pattern(c.size);
        auto port = std::make_unique<ScriptedPort>();
        port->expectOpen(PORT);
        modeEntry(*port);
        blankCheckAndErase(*port, image, c.notBlank);
        programAll(*port, image);
        verify(*port, image);
        jobEnd(*port);

        const JobOutcome job = runJob(std::move(port), writeImage(image));
        EXPECT_EQ(job.result, RESULT_OK);
        EXPECT_EQ(job.problems, "");
        EXPECT_EQ(job.info.Result, RESULT_OK);
        EXPECT_EQ(job.info.ComInfo.Command, 0xB0) << "the result carries the last exchange";
        EXPECT_EQ(job.info.ComInfo.ST1, ACK);
        EXPECT_EQ(job.log, (std::vector<std::string>{"## Programming Mode\n", "## Block Blank Check & Erace...",
                                                     " OK\n", "## Programming...", " OK\n",
                                                     "## Write Complete"}));
    }
}

TEST(NSSequenceProcessor, SignatureIsStoredAndDecidesTheImageSize) {
    // A target with 1 KiB of code flash takes 1024 bytes but not 1025.
    const Bytes fits = pattern(1024);
    auto port = std::make_unique<ScriptedPort>();
    port->expectOpen(PORT);
    modeEntry(*port, false, 0x0003FF);
    blankCheckAndErase(*port, fits);
    programAll(*port, fits);
    verify(*port, fits);
    jobEnd(*port);
    JobOutcome job = runJob(std::move(port), writeImage(fits));
    EXPECT_EQ(job.result, RESULT_OK) << job.problems;
    const _SILICONSIGNATURE& signature = job.context.SiliconSignature;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(signature.DevName)), "TESTCHIP01");
    EXPECT_EQ((Bytes(signature.CodeEndAddress, signature.CodeEndAddress + 3)), (Bytes{0xFF, 0x03, 0x00}));
    EXPECT_EQ((Bytes(signature.FVer, signature.FVer + 3)), (Bytes{0x01, 0x02, 0x03}));

    port = std::make_unique<ScriptedPort>();
    port->expectOpen(PORT);
    modeEntry(*port, false, 0x0003FF);
    jobEnd(*port);
    job = runJob(std::move(port), writeImage(pattern(1025)));
    EXPECT_EQ(job.result, ERR_CODE_FLASH_SIZE);
    EXPECT_EQ(job.problems, "") << "no flash command may follow a size refusal";
    EXPECT_EQ(job.log, (std::vector<std::string>{"## Programming Mode\n", "## Write Failed"}));
}

TEST(NSSequenceProcessor, RangeCheck) {
    auto sequence = idleSequence();
    // Fresh signature: code flash of 1 byte, no data flash.
    EXPECT_EQ(sequence->checkSizeAndAddressRange(0, 1, 0xF1000, 0), RESULT_OK);
    EXPECT_EQ(sequence->checkSizeAndAddressRange(0, 2, 0xF1000, 0), ERR_CODE_FLASH_SIZE);
    EXPECT_EQ(sequence->checkSizeAndAddressRange(1024, 1, 0xF1000, 0), ERR_CODE_FLASH_ADDRESS);
    EXPECT_EQ(sequence->checkSizeAndAddressRange(0, 1, 0xF1000, 1), ERR_DATA_FLASH_SIZE);
    EXPECT_EQ(sequence->checkSizeAndAddressRange(0, 1, 0xF0000, 0), ERR_DATA_FLASH_ADDRESS);
    EXPECT_EQ(sequence->checkSizeAndAddressRange(0, 2, 0xF0000, 1), ERR_CODE_FLASH_SIZE) << "size test comes first";
}

TEST(NSSequenceProcessor, JobsThatCannotStartStillRunTheEndSteps) {
    // The port does not open: one log line, DTR put back, port closed, the
    // image never read.
    auto port = std::make_unique<ScriptedPort>();
    port->expectOpen(PORT, ERR_PORT_OPEN);
    jobEnd(*port);
    JobOutcome job = runJob(std::move(port), "/nonexistent/sketch.bin");
    EXPECT_EQ(job.result, ERR_PORT_OPEN);
    EXPECT_EQ(job.info.Result, ERR_PORT_OPEN);
    EXPECT_EQ(job.problems, "");
    EXPECT_EQ(job.log, std::vector<std::string>{"## Write Failed"});

    // Baud-rate code 4: refused before any line changes.
    port = std::make_unique<ScriptedPort>();
    port->expectOpen(PORT);
    jobEnd(*port);
    job = runJob(std::move(port), "/nonexistent/sketch.bin", 4);
    EXPECT_EQ(job.result, ERR_PARAMETER);
    EXPECT_EQ(job.problems, "");

    // A missing image is found only after the mode entry.
    port = std::make_unique<ScriptedPort>();
    port->expectOpen(PORT);
    modeEntry(*port);
    jobEnd(*port);
    job = runJob(std::move(port), "/nonexistent/sketch.bin");
    EXPECT_EQ(job.result, ERR_FILE_NOT_FOUND);
    EXPECT_EQ(job.problems, "");

    // No result record: the job still runs and ends.
    port = std::make_unique<ScriptedPort>();
    port->expectOpen(PORT, ERR_PORT_OPEN);
    jobEnd(*port);
    auto sequence = std::make_shared<NSSequenceProcessor>(std::move(port));
    EXPECT_EQ(sequence->start(makeContext("x.bin")), ERR_PORT_OPEN);

    // Names without their terminator are refused before the port is opened.
    _CONTEXTINFO context = makeContext("x.bin");
    std::memset(context.PortName, 'a', sizeof context.PortName);
    port = std::make_unique<ScriptedPort>();
    jobEnd(*port);
    job = runJob(std::move(port), context);
    EXPECT_EQ(job.result, ERR_PARAMETER);
    EXPECT_EQ(job.problems, "");
    context = makeContext("x.bin");
    std::memset(context.TargetFileInfo.FilePath, 'a', sizeof context.TargetFileInfo.FilePath);
    port = std::make_unique<ScriptedPort>();
    jobEnd(*port);
    job = runJob(std::move(port), context);
    EXPECT_EQ(job.result, ERR_PARAMETER);
    EXPECT_EQ(job.problems, "");
}

TEST(NSSequenceProcessor, WaitsForTheReceiveThreadBeforeTheLineChanges) {
    auto port = std::make_unique<ScriptedPort>();
    port->setPollsBeforeReading(2);
    port->expectOpen(PORT);
    modeEntry(*port);
    jobEnd(*port);
    const JobOutcome job = runJob(std::move(port), "/nonexistent/sketch.bin");
    EXPECT_EQ(job.result, ERR_FILE_NOT_FOUND);
    EXPECT_EQ(job.problems, "");
    EXPECT_GE(job.elapsed.count(), 200) << "two polls of 0.1 s";
}

TEST(NSSequenceProcessor, WaitStatusFramesWaitsForAWholeFrameThatStartsWithStx) {
    auto port = std::make_unique<ScriptedPort>();
    ScriptedPort& board = *port;
    auto sequence = std::make_shared<NSSequenceProcessor>(std::move(port));
    board.expectOpen("a").answer({0x02, 0x01, 0x06}).answer({0xF9, 0x03}, 30);
    board.expectFlush().expectOpen("b").answer({0x15, 0x02, 0x01, 0x06, 0xF9, 0x03});
    board.Open("a");
    uint64_t expected = 0;
    EXPECT_EQ(sequence->waitStatusFrames(&expected, 1000), RESULT_OK);
    EXPECT_EQ(expected, 5u);
    EXPECT_EQ(board.GetReceiveDataLength(), 5u) << "the wait takes nothing out";

    board.ClearReceiveBuffer();
    board.Open("b");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(sequence->waitStatusFrames(&expected, 50), ERR_RECV_TIMEOUT) << "a stray first byte is never skipped";
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));
    EXPECT_EQ(expected, 0u);
    EXPECT_EQ(board.problems(), "");
}
