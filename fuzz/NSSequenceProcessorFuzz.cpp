// The whole write job, from mode entry to the checksum comparison, against a
// board whose answers are the fuzz input: the frame waits, the command
// exchanges, the data-frame transfer and every parser they use must survive
// any bytes, and the job must end with a result code of its own.
//
// Input: one byte whose low two bits are the baud-rate code, then records of a
// length byte and that many bytes. Each frame the host writes releases the
// next record into the port's receive buffer, and a record of 255 bytes the
// one after it too, so an answer can be of any length; once the records are
// used up the board is silent.
//
// Time: the port's clock is a counter that advances one millisecond per
// reading and jumps to the deadline of any wait, since nothing arrives but on
// a write. Waits cost no real time, and a run depends on the input alone.
#include "NSSequenceProcessor.h"
#include "NSSerialPortProcessor.h"
#include "ResultCodes.h"
#include "FuzzCheck.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

namespace {

uint64_t g_dwNow = 0;

// A line without a device: every line operation succeeds; the receive side
// holds what the input's records have released, at most 1023 bytes like the
// real port's buffer.
class FuzzPort : public NSSerialPortProcessor {
public:
    void feed(const uint8_t* data, size_t size)
    {
        m_pbInput = data;
        m_inputSize = size;
        m_pos = 0;
        m_received.clear();
    }

    uint64_t Open(const char*) override { return RESULT_OK; }
    void Close() override {}
    uint64_t SetBreak() override { return RESULT_OK; }
    uint64_t ClearBreak() override { return RESULT_OK; }
    uint64_t SetDtr() override { return RESULT_OK; }
    uint64_t ClearDtr() override { return RESULT_OK; }
    uint64_t ChangeBaudRate(uint64_t) override { return RESULT_OK; }
    void ClearReceiveBuffer() override { m_received.clear(); }
    bool IsReading() override { return true; }
    uint64_t Now() override { return ++g_dwNow; }
    void WaitReceived(uint64_t, uint64_t dwDeadline) override { g_dwNow = std::max(g_dwNow, dwDeadline); }
    void Pause(uint64_t dwMsec) override { g_dwNow += dwMsec + 1; }
    void TakeInPending() override {}

    uint64_t SendData(const uint8_t* pbData, uint64_t writeBytes) override
    {
        FUZZ_CHECK(writeBytes >= 1 && writeBytes <= NSCommandProcessor::FRAME_BUFFER_SIZE);
        FUZZ_CHECK(pbData != nullptr);
        bool fMore = true;
        while (fMore && m_pos < m_inputSize) {
            fMore = m_pbInput[m_pos] == 0xFF;
            const size_t length = std::min<size_t>(m_pbInput[m_pos], m_inputSize - m_pos - 1);
            const uint8_t* pbRecord = m_pbInput + m_pos + 1;
            m_pos += 1 + length;
            if (m_received.size() + length < RECEIVE_BUFFER_SIZE) {
                m_received.insert(m_received.end(), pbRecord, pbRecord + length);
            }
        }
        return RESULT_OK;
    }

    uint64_t GetReceiveDataLength() override { return m_received.size(); }

    uint64_t PeekReceivedData(uint8_t* pbData, uint64_t bufferSize) override
    {
        const uint64_t dwCount = std::min<uint64_t>(bufferSize, m_received.size());
        std::copy_n(m_received.begin(), dwCount, pbData);
        return dwCount;
    }

    uint64_t GetReceivedData(uint8_t* pbData, uint64_t bufferSize, uint64_t readLength) override
    {
        FUZZ_CHECK(readLength <= bufferSize);
        if (readLength > m_received.size()) {
            return 0;
        }
        std::copy_n(m_received.begin(), readLength, pbData);
        m_received.erase(m_received.begin(), m_received.begin() + static_cast<long>(readLength));
        return readLength;
    }

private:
    const uint8_t* m_pbInput = nullptr;
    size_t m_inputSize = 0;
    size_t m_pos = 0;
    std::vector<uint8_t> m_received;
};

// A 1500-byte image (two blocks, the second one partial) in a file of its
// own in $TMPDIR (or /tmp), removed at exit.
const char* imagePath()
{
    static char path[1024] = "";
    if (path[0] == 0) {
        const char* pszDir = std::getenv("TMPDIR");
        std::snprintf(path, sizeof path, "%s/quenwick-fuzz-%d.bin", pszDir != nullptr ? pszDir : "/tmp",
                      static_cast<int>(getpid()));
        std::ofstream file(path, std::ios::binary);
        for (int i = 0; i < 1500; ++i) {
            file.put(static_cast<char>((i * 7 + 3) & 0xFF));
        }
        std::atexit([] { std::remove(path); });
    }
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    g_dwNow = 0;
    auto port = std::make_unique<FuzzPort>();
    FuzzPort& board = *port;
    board.feed(data + 1, size - 1);
    const auto sequence = std::make_shared<NSSequenceProcessor>(std::move(port));

    _RESULTINFO resultInfo{};
    resultInfo.Result = 0xDEAD;
    _CONTEXTINFO context{};
    context.BaudRate = data[0] & 3;
    context.pResultInfo = &resultInfo;
    std::snprintf(context.PortName, sizeof context.PortName, "fuzz");
    std::snprintf(context.TargetFileInfo.FilePath, sizeof context.TargetFileInfo.FilePath, "%s", imagePath());

    const uint64_t result = sequence->start(context);
    FUZZ_CHECK(resultInfo.Result == result);
    // What a board can cause on a line that works; a blank check's "not blank"
    // is answered by an erase and never ends the job.
    const uint64_t possible[] = {RESULT_OK,
                                 ERR_FRAME_FORMAT,
                                 ERR_SUM,
                                 ERR_RECV_TIMEOUT,
                                 ERR_COMMAND_FRAME,
                                 ERR_DATA_FRAME,
                                 ERR_MODE_ENTRY_TIMEOUT,
                                 ERR_CHECKSUM_MISMATCH,
                                 ERR_CODE_FLASH_SIZE};
    FUZZ_CHECK(std::find(std::begin(possible), std::end(possible), result) != std::end(possible));
    return 0;
}
