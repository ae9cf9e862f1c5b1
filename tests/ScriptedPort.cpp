#include "ScriptedPort.h"

#include <algorithm>

#include "NSGetTime.h"

std::string ScriptedPort::hex(const Bytes& bytes) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += DIGITS[byte >> 4];
        text += DIGITS[byte & 0x0F];
    }
    return text;
}

ScriptedPort& ScriptedPort::add(std::string event, uint64_t value, Bytes bytes) {
    m_script.push_back(Step{std::move(event), value, std::move(bytes)});
    return *this;
}

ScriptedPort& ScriptedPort::expectOpen(const std::string& strName, uint64_t result) {
    return add("Open " + strName, result);
}
ScriptedPort& ScriptedPort::expectClose() { return add("Close"); }
ScriptedPort& ScriptedPort::expectSend(const Bytes& bytes, uint64_t result) {
    return add("Send " + hex(bytes), result);
}
ScriptedPort& ScriptedPort::expectDtr(bool fSet) { return add(fSet ? "SetDtr" : "ClearDtr"); }
ScriptedPort& ScriptedPort::expectBreak(bool fSet) { return add(fSet ? "SetBreak" : "ClearBreak"); }
ScriptedPort& ScriptedPort::expectFlush() { return add("ClearReceiveBuffer"); }
ScriptedPort& ScriptedPort::expectSpeed(uint64_t dwBaudRate, uint64_t result) {
    return add("ChangeBaudRate " + std::to_string(dwBaudRate), result);
}
ScriptedPort& ScriptedPort::answer(const Bytes& bytes, uint64_t delayMs) { return add("", delayMs, bytes); }

std::string ScriptedPort::problems() const {
    const auto missed = std::find_if(m_script.begin() + static_cast<std::ptrdiff_t>(m_next), m_script.end(),
                                     [](const Step& step) { return !step.event.empty(); });
    if (!m_stray.empty() || missed == m_script.end()) {
        return m_stray;
    }
    return "the host stopped before step " + std::to_string(missed - m_script.begin()) + ": " + missed->event;
}

size_t ScriptedPort::countSent(const Bytes& bytes) const {
    return static_cast<size_t>(std::count(m_sent.begin(), m_sent.end(), bytes));
}

// Matches one host event against the next step and returns that step's
// result; the answers that follow it start their delay now.
uint64_t ScriptedPort::host(const std::string& event) {
    m_events.push_back(event);
    if (!m_stray.empty()) {
        return 0;
    }
    const std::string expected = m_next < m_script.size() ? m_script[m_next].event : "the end of the script";
    if (expected != event) {
        m_stray = "step " + std::to_string(m_next) + ": expected " + expected + ", got " + event;
        return 0;
    }
    const uint64_t result = m_script[m_next++].value;
    const uint64_t dwNow = NSGetTime::getTimeOfDay_msec();
    for (; m_next < m_script.size() && m_script[m_next].event.empty(); ++m_next) {
        m_pending.emplace_back(dwNow + m_script[m_next].value, m_script[m_next].bytes);
    }
    return result;
}

// Answers arrive in script order, each once its time has come.
void ScriptedPort::deliverDue() {
    const uint64_t dwNow = NSGetTime::getTimeOfDay_msec();
    while (!m_pending.empty() && m_pending.front().first <= dwNow) {
        m_buffer.insert(m_buffer.end(), m_pending.front().second.begin(), m_pending.front().second.end());
        m_pending.pop_front();
    }
}

uint64_t ScriptedPort::Open(const char* pbPortName) {
    const uint64_t result = host("Open " + std::string(pbPortName));
    m_isOpen = result == 0;
    return result;
}

void ScriptedPort::Close() {
    host("Close");
    m_isOpen = false;
}

uint64_t ScriptedPort::SendData(const uint8_t* pbData, uint64_t writeBytes) {
    m_sent.emplace_back(pbData, pbData + writeBytes);
    return host("Send " + hex(m_sent.back()));
}

uint64_t ScriptedPort::SetBreak() { return host("SetBreak"); }
uint64_t ScriptedPort::ClearBreak() { return host("ClearBreak"); }
uint64_t ScriptedPort::SetDtr() { return host("SetDtr"); }
uint64_t ScriptedPort::ClearDtr() { return host("ClearDtr"); }
uint64_t ScriptedPort::ChangeBaudRate(uint64_t dwBaudRate) {
    return host("ChangeBaudRate " + std::to_string(dwBaudRate));
}

void ScriptedPort::ClearReceiveBuffer() {
    host("ClearReceiveBuffer");
    deliverDue();
    m_buffer.clear();
}

uint64_t ScriptedPort::GetReceiveDataLength() {
    deliverDue();
    return m_buffer.size();
}

uint64_t ScriptedPort::CheckDataFrame(uint8_t* pbFirst, uint64_t* len) {
    deliverDue();
    *pbFirst = m_buffer.size() > 0 ? m_buffer[0] : 0;
    *len = m_buffer.size() > 1 ? m_buffer[1] : 0;
    return 0;
}

uint64_t ScriptedPort::GetReceivedData(uint8_t* pbData, uint64_t bufferSize, uint64_t readLength) {
    deliverDue();
    if (readLength > m_buffer.size() || readLength > bufferSize) {
        return 0;
    }
    const auto end = m_buffer.begin() + static_cast<std::ptrdiff_t>(readLength);
    std::copy(m_buffer.begin(), end, pbData);
    m_buffer.erase(m_buffer.begin(), end);
    return readLength;
}

bool ScriptedPort::IsReading() {
    if (m_isOpen && m_pollsBeforeReading > 0) {
        --m_pollsBeforeReading;
        return false;
    }
    return m_isOpen;
}
