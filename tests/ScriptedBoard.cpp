#include "ScriptedBoard.h"

#include <algorithm>
#include <cstdio>

// Each byte in two hex digits, after a space.
std::string ScriptedBoard::hex(const Bytes& bytes)
{
    std::string text;
    for (uint8_t byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, " %02X", byte);
        text += digits;
    }
    return text;
}

ScriptedBoard& ScriptedBoard::add(std::string event, uint64_t value, Bytes bytes, Arrival arrival)
{
    m_script.push_back(Step{.event = std::move(event), .value = value, .bytes = std::move(bytes), .arrival = arrival});
    return *this;
}

void ScriptedBoard::retime(const std::string& label, uint64_t delayMs, bool fDuringStall)
{
    for (Step& step : m_script) {
        if (step.event.empty() && step.label == label) {
            step.value = delayMs;
            step.arrival = fDuringStall ? Arrival::DURING_STALL : Arrival::ANSWER;
            return;
        }
    }
}

std::unique_ptr<NSSerialPortProcessor> ScriptedBoard::port(ScriptedBoard** ppBoard)
{
    auto pBoard = std::make_unique<ScriptedBoard>();
    *ppBoard = pBoard.get();
    return std::make_unique<NSSerialPortProcessor>(std::move(pBoard));
}

std::string ScriptedBoard::problems() const
{
    const auto missed = std::find_if(m_script.begin() + static_cast<std::ptrdiff_t>(m_next), m_script.end(),
                                     [](const Step& step) { return !step.event.empty(); });
    if (!m_stray.empty() || missed == m_script.end()) {
        return m_stray;
    }
    return "the host stopped before step " + std::to_string(missed - m_script.begin()) + ": " + missed->event;
}

// Matches one host event against the next step and returns that step's
// result; the answers that follow it start their delay now.
uint64_t ScriptedBoard::host(const std::string& event)
{
    if (!m_stray.empty()) {
        return 0;
    }
    if (m_next >= m_mayStopAt) {
        // The host ended the job early: what the board would have played is passed over.
        while (m_next < m_script.size() && m_script[m_next].event != event) {
            ++m_next;
        }
    }
    const std::string expected = m_next < m_script.size() ? m_script[m_next].event : "the end of the script";
    if (expected != event) {
        m_stray = "step " + std::to_string(m_next) + ": expected " + expected + ", got " + event;
        return 0;
    }
    const uint64_t result = m_script[m_next++].value;
    for (; m_next < m_script.size() && m_script[m_next].event.empty(); ++m_next) {
        const Step& step = m_script[m_next];
        arrive(now() + step.value, step.bytes, step.arrival);
    }
    return result;
}
