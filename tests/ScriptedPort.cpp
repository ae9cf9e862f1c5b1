#include "ScriptedPort.h"

#include <algorithm>
#include <cstdio>

// Each byte in two hex digits, after a space.
std::string ScriptedPort::hex(const Bytes& bytes)
{
    std::string text;
    for (uint8_t byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, " %02X", byte);
        text += digits;
    }
    return text;
}

ScriptedPort& ScriptedPort::add(std::string event, uint64_t value, Bytes bytes, Arrival arrival)
{
    m_script.push_back(Step{std::move(event), value, std::move(bytes), arrival});
    return *this;
}

void ScriptedPort::retime(size_t index, uint64_t delayMs, bool fDuringStall)
{
    for (Step& step : m_script) {
        if (step.event.empty() && step.arrival != Arrival::HangUp && index-- == 0) {
            step.value = delayMs;
            step.arrival = fDuringStall ? Arrival::DuringStall : Arrival::Answer;
            return;
        }
    }
}

std::string ScriptedPort::problems() const
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
uint64_t ScriptedPort::host(const std::string& event)
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
        m_pending.push_back(Pending{m_dwNow + step.value, step.bytes, step.arrival});
    }
    deliverDue();
    return result;
}

// Arrivals come in script order, each once its time has come.
void ScriptedPort::deliverDue(bool fTakeStalled)
{
    while (!m_pending.empty() && m_pending.front().due <= m_dwNow &&
           (fTakeStalled || m_pending.front().arrival != Arrival::DuringStall)) {
        m_fHungUp = m_fHungUp || m_pending.front().arrival == Arrival::HangUp;
        setReadData(m_pending.front().bytes.data(), m_pending.front().bytes.size());
        m_pending.pop_front();
    }
}

void ScriptedPort::WaitReceived(uint64_t dwKnownLength, uint64_t dwDeadline)
{
    deliverDue();
    if (GetReceiveDataLength() != dwKnownLength || !IsReading()) {
        return;
    }
    // A stalled host sleeps through what arrives; otherwise the next arrival wakes it.
    uint64_t dwWake = dwDeadline;
    if (!m_pending.empty() && m_pending.front().arrival != Arrival::DuringStall) {
        dwWake = std::min(dwWake, m_pending.front().due);
    }
    m_dwNow = std::max(m_dwNow, dwWake);
    deliverDue();
}

void ScriptedPort::Pause(uint64_t dwMsec)
{
    m_dwNow += dwMsec + 1;
    deliverDue();
}

uint64_t ScriptedPort::Open(const char* pbPortName)
{
    makeReceiveBuffer();
    const uint64_t result = host("Open " + std::string(pbPortName));
    m_isOpen = result == 0;
    return result;
}

void ScriptedPort::Close()
{
    host("Close");
    m_isOpen = false;
}

void ScriptedPort::ClearReceiveBuffer()
{
    host("ClearReceiveBuffer");
    deliverDue();
    clearReadData();
}

bool ScriptedPort::IsReading()
{
    deliverDue();
    return m_isOpen && !m_fHungUp;
}
