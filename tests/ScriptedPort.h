// A serial port that plays the board from a script, in-process and without
// threads. The script lists, in order, every event the host must cause (open,
// close, DTR and break changes, buffer flushes, speed changes, the exact bytes
// of each write) and the bytes the board answers. An answer becomes available
// to the receive operations when the script reaches it, plus its delay in ms
// on NSGetTime's clock; a write with no answer after it is a silence.
//
// The first event that differs from the script is kept with what was expected
// and what came instead; later events are not checked any more.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "NSSerialPortProcessor.h"

class ScriptedPort : public NSSerialPortProcessor {
public:
    using Bytes = std::vector<uint8_t>;

    // Script building; each returns the port for chaining. `result` is what
    // the host's call returns.
    ScriptedPort& expectOpen(const std::string& strName, uint64_t result = 0);
    ScriptedPort& expectClose();
    ScriptedPort& expectSend(const Bytes& bytes, uint64_t result = 0);
    ScriptedPort& expectDtr(bool fSet);
    ScriptedPort& expectBreak(bool fSet);
    ScriptedPort& expectFlush();
    ScriptedPort& expectSpeed(uint64_t dwBaudRate, uint64_t result = 0);
    ScriptedPort& answer(const Bytes& bytes, uint64_t delayMs = 0);
    // IsReading reports false this many times after Open before it turns true.
    void setPollsBeforeReading(int polls) { m_pollsBeforeReading = polls; }

    // Empty when the host followed the script to its end; otherwise where and
    // how it strayed, or which step it never reached.
    std::string problems() const;
    // Every event the host caused, one line each.
    const std::vector<std::string>& events() const { return m_events; }
    // Number of writes whose bytes equal the given frame.
    size_t countSent(const Bytes& bytes) const;

    uint64_t Open(const char* pbPortName) override;
    void Close() override;
    uint64_t SendData(const uint8_t* pbData, uint64_t writeBytes) override;
    uint64_t SetBreak() override;
    uint64_t ClearBreak() override;
    uint64_t SetDtr() override;
    uint64_t ClearDtr() override;
    uint64_t ChangeBaudRate(uint64_t dwBaudRate) override;
    void ClearReceiveBuffer() override;
    uint64_t GetReceiveDataLength() override;
    uint64_t CheckDataFrame(uint8_t* pbFirst, uint64_t* len) override;
    uint64_t GetReceivedData(uint8_t* pbData, uint64_t bufferSize, uint64_t readLength) override;
    bool IsReading() override;

    static std::string hex(const Bytes& bytes);

private:
    // A host event to match (with what the call returns), or an answer (with
    // its delay) when `event` is empty.
    struct Step {
        std::string event;
        uint64_t value = 0;
        Bytes bytes;
    };

    ScriptedPort& add(std::string event, uint64_t value = 0, Bytes bytes = {});
    uint64_t host(const std::string& event);
    void deliverDue();

    std::vector<Step> m_script;
    size_t m_next = 0;
    std::string m_stray;
    std::vector<std::string> m_events;
    std::vector<Bytes> m_sent;
    std::deque<std::pair<uint64_t, Bytes>> m_pending;  // due time, bytes
    Bytes m_buffer;
    bool m_isOpen = false;
    int m_pollsBeforeReading = 0;
};
