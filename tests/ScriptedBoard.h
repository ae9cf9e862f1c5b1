// A board that plays from a script, for the sequence and command driver tests:
// a VirtualBoard whose port is the program's own NSSerialPortProcessor. The
// script lists, in order, every event the host must cause (open, close, DTR
// and break changes, buffer flushes, speed changes, the exact bytes of each
// write) and the bytes the board answers. An answer reaches the device when
// the script reaches it, plus its delay in ms; a write with no answer after it
// is a silence.
//
// The first event that differs from the script is kept with what was expected
// and what came instead; later events are not checked any more.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NSSerialPortProcessor.h"
#include "VirtualBoard.h"

class ScriptedBoard : public VirtualBoard {
public:
    // A port on a new board, and the board, which the port owns.
    static std::unique_ptr<NSSerialPortProcessor> port(ScriptedBoard** ppBoard);

    // Script building; each returns the board for chaining. `result` is what
    // the host's call returns.
    // Opened at 115200 8N2, as mode entry wants the line.
    ScriptedBoard& expectOpen(const std::string& strName, uint64_t result = 0)
    {
        return add("Open " + strName + " at 115200 8N2", result);
    }
    ScriptedBoard& expectClose() { return add("Close"); }
    ScriptedBoard& expectSend(const Bytes& bytes, uint64_t result = 0) { return add("Send" + hex(bytes), result); }
    ScriptedBoard& expectDtr(bool fSet) { return add(fSet ? "SetDtr" : "ClearDtr"); }
    ScriptedBoard& expectBreak(bool fSet) { return add(fSet ? "SetBreak" : "ClearBreak"); }
    ScriptedBoard& expectFlush() { return add("ClearReceiveBuffer"); }
    ScriptedBoard& expectSpeed(uint64_t dwBaudRate, uint64_t result = 0)
    {
        return add("ChangeBaudRate " + std::to_string(dwBaudRate), result);
    }
    // The board answers delayMs after the host event before; a label names the answer for retime.
    ScriptedBoard& answer(const Bytes& bytes, uint64_t delayMs = 0, std::string label = "")
    {
        add("", delayMs, bytes).m_script.back().label = std::move(label);
        return *this;
    }
    // The host may end the job here: up to its next event, what follows is
    // what the board would play if the host went on.
    ScriptedBoard& hostMayStop()
    {
        m_mayStopAt = m_script.size();
        return *this;
    }
    // The device hangs up: from then on the port no longer reads.
    ScriptedBoard& hangUp(uint64_t delayMs = 0) { return add("", delayMs, {}, Arrival::HANG_UP); }
    // Makes the first answer labelled `label` (if any) come after delayMs, during a
    // stall if fDuringStall: an answer that reaches the device in time while
    // the host is stalled, which only the host's own look at the device
    // (TakeInPending) finds.
    void retime(const std::string& label, uint64_t delayMs, bool fDuringStall);

    // Empty when the host followed the script to its end; otherwise where and
    // how it strayed, or which step it never reached.
    std::string problems() const;

protected:
    uint64_t opened(const std::string& strName, const LineFormat& line) override
    {
        return host("Open " + strName + " at " + std::to_string(line.dwBaudRate) + " " +
                    std::to_string(line.bDataBits) + "N" + std::to_string(line.bStopBits));
    }
    bool wrote(const Bytes& bytes) override { return host("Send" + hex(bytes)) == 0; }
    bool lineSet(const std::string& strEvent) override { return host(strEvent) == 0; }

private:
    // A host event to match (with what the call returns), or an arrival
    // (with its delay) when `event` is empty.
    struct Step {
        std::string event;
        uint64_t value = 0;
        Bytes bytes;
        Arrival arrival = Arrival::ANSWER;
        std::string label = "";
    };

    static std::string hex(const Bytes& bytes);
    ScriptedBoard& add(std::string event, uint64_t value = 0, Bytes bytes = {}, Arrival arrival = Arrival::ANSWER);
    uint64_t host(const std::string& event);

    std::vector<Step> m_script;
    size_t m_next = 0;
    size_t m_mayStopAt = SIZE_MAX;
    std::string m_stray;
};
