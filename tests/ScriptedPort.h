// A serial port that plays the board from a script, in-process and without
// threads. The script lists, in order, every event the host must cause (open,
// close, DTR and break changes, buffer flushes, speed changes, the exact bytes
// of each write) and the bytes the board answers. An answer becomes available
// to the receive operations when the script reaches it, plus its delay in ms;
// a write with no answer after it is a silence.
//
// Time is the port's own: it stands still while the host works and jumps
// ahead when the host waits, to the next answer or to the host's deadline. So
// every timeout and pause is exact and costs no real time.
//
// The first event that differs from the script is kept with what was expected
// and what came instead; later events are not checked any more. What arrives
// goes into the port's own receive buffer.
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
    ScriptedPort& expectOpen(const std::string& strName, uint64_t result = 0) { return add("Open " + strName, result); }
    ScriptedPort& expectClose() { return add("Close"); }
    ScriptedPort& expectSend(const Bytes& bytes, uint64_t result = 0) { return add("Send" + hex(bytes), result); }
    ScriptedPort& expectDtr(bool fSet) { return add(fSet ? "SetDtr" : "ClearDtr"); }
    ScriptedPort& expectBreak(bool fSet) { return add(fSet ? "SetBreak" : "ClearBreak"); }
    ScriptedPort& expectFlush() { return add("ClearReceiveBuffer"); }
    ScriptedPort& expectSpeed(uint64_t dwBaudRate, uint64_t result = 0)
    {
        return add("ChangeBaudRate " + std::to_string(dwBaudRate), result);
    }
    ScriptedPort& answer(const Bytes& bytes, uint64_t delayMs = 0) { return add("", delayMs, bytes); }
    // The host may end the job here: up to its next event, what follows is
    // what the board would play if the host went on.
    ScriptedPort& hostMayStop()
    {
        m_mayStopAt = m_script.size();
        return *this;
    }
    // The device hangs up: from then on the port no longer reads.
    ScriptedPort& hangUp(uint64_t delayMs = 0) { return add("", delayMs, {}, Arrival::HangUp); }
    // Makes answer number `index` (from 0, in script order) come after
    // delayMs, during a stall if fDuringStall: an answer that reaches the
    // device in time while the host is stalled, which only the host's own
    // look at the device (TakeInPending) finds.
    void retime(size_t index, uint64_t delayMs, bool fDuringStall);

    // Empty when the host followed the script to its end; otherwise where and
    // how it strayed, or which step it never reached.
    std::string problems() const;

    uint64_t Open(const char* pbPortName) override;
    void Close() override;
    uint64_t SendData(const uint8_t* pbData, uint64_t writeBytes) override
    {
        return host("Send" + hex(Bytes(pbData, pbData + writeBytes)));
    }
    uint64_t SetBreak() override { return host("SetBreak"); }
    uint64_t ClearBreak() override { return host("ClearBreak"); }
    uint64_t SetDtr() override { return host("SetDtr"); }
    uint64_t ClearDtr() override { return host("ClearDtr"); }
    uint64_t ChangeBaudRate(uint64_t dwBaudRate) override
    {
        return host("ChangeBaudRate " + std::to_string(dwBaudRate));
    }
    void ClearReceiveBuffer() override;
    bool IsReading() override;
    bool IsDeviceGone() override { return m_fHungUp; }
    uint64_t Now() override { return m_dwNow; }
    void WaitReceived(uint64_t dwKnownLength, uint64_t dwDeadline) override;
    // Moves the clock on by one more than the pause, as a millisecond clock
    // shows a pause that began at the start of a millisecond.
    void Pause(uint64_t dwMsec) override;
    void TakeInPending() override { deliverDue(true); }

private:
    enum class Arrival { Answer, DuringStall, HangUp };
    // A host event to match (with what the call returns), or an arrival
    // (with its delay) when `event` is empty.
    struct Step {
        std::string event;
        uint64_t value = 0;
        Bytes bytes;
        Arrival arrival = Arrival::Answer;
    };
    struct Pending {
        uint64_t due;
        Bytes bytes;
        Arrival arrival;
    };

    static std::string hex(const Bytes& bytes);
    ScriptedPort& add(std::string event, uint64_t value = 0, Bytes bytes = {}, Arrival arrival = Arrival::Answer);
    uint64_t host(const std::string& event);
    // Delivers what has arrived by now; what came during a stall only when
    // fTakeStalled.
    void deliverDue(bool fTakeStalled = false);

    std::vector<Step> m_script;
    size_t m_next = 0;
    size_t m_mayStopAt = SIZE_MAX;
    std::string m_stray;
    std::deque<Pending> m_pending;
    uint64_t m_dwNow = 1000000;
    bool m_isOpen = false;
    bool m_fHungUp = false;
};
