#include "ScriptedPort.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "NSGetTime.h"

std::string ScriptedPort::hex(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X ", byte);
        text += digits;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

ScriptedPort& ScriptedPort::expect(std::string event, uint64_t result) {
    m_script.push_back(Step{std::move(event), result, false, {}, 0});
    return *this;
}

ScriptedPort& ScriptedPort::expectOpen(const std::string& strName, uint64_t result) {
    return expect("Open " + strName, result);
}
ScriptedPort& ScriptedPort::expectClose() { return expect("Close"); }
ScriptedPort& ScriptedPort::expectSend(const Bytes& bytes, uint64_t result) {
    return expect("Send " + hex(bytes), result);
}
ScriptedPort& ScriptedPort::expectDtr(bool fSet) { return expect(fSet ? "SetDtr" : "ClearDtr"); }
ScriptedPort& ScriptedPort::expectBreak(bool fSet) { return expect(fSet ? "SetBreak" : "ClearBreak"); }
ScriptedPort& ScriptedPort::expectFlush() { return expect("ClearReceiveBuffer"); }
ScriptedPort& ScriptedPort::expectSpeed(uint64_t dwBaudRate, uint64_t result) {
    return expect("ChangeBaudRate " + std::to_string(dwBaudRate), result);
}

ScriptedPort& ScriptedPort::answer(const Bytes& bytes, uint64_t delayMs) {
    m_script.push_back(Step{"", 0, true, bytes, delayMs});
    return *this;
}

std::string ScriptedPort::problems() const {
    if (!m_stray.empty()) {
        return m_stray;
    }
    for (size_t i = m_next; i < m_script.size(); ++i) {
        if (!m_script[i].isAnswer) {
            return "the host stopped before step " + std::to_string(i) + ": " + m_script[i].event;
        }
    }
    return "";
}

size_t ScriptedPort::countSent(const Bytes& bytes) const {
    return static_cast<size_t>(std::count(m_sent.begin(), m_sent.end(), bytes));
}

// Matches one host event against the next step; returns that step's result.
uint64_t ScriptedPort::host(const std::string& event) {
    m_events.push_back(event);
    if (!m_stray.empty()) {
        return 0;
    }
    if (m_next >= m_script.size()) {
        m_stray = "step " + std::to_string(m_next) + ": expected the end of the script, got " + event;
        return 0;
    }
    const Step& step = m_script[m_next];
    if (step.event != event) {
        m_stray = "step " + std::to_string(m_next) + ": expected " + step.event + ", got " + event;
        return 0;
    }
    ++m_next;
    scheduleAnswers();
    return step.result;
}

// The answers that follow the host event just matched start their delay now.
void ScriptedPort::scheduleAnswers() {
    const uint64_t dwNow = NSGetTime::getTimeOfDay_msec();
    while (m_next < m_script.size() && m_script[m_next].isAnswer) {
        m_pending.push_back(Pending{dwNow + m_script[m_next].delayMs, m_script[m_next].bytes});
        ++m_next;
    }
}

// Answers arrive in script order, each once its time has come.
void ScriptedPort::deliverDue() {
    const uint64_t dwNow = NSGetTime::getTimeOfDay_msec();
    while (!m_pending.empty() && m_pending.front().dueMs <= dwNow) {
        m_buffer.insert(m_buffer.end(), m_pending.front().bytes.begin(), m_pending.front().bytes.end());
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
    Bytes bytes(pbData, pbData + writeBytes);
    m_sent.push_back(bytes);
    return host("Send " + hex(bytes));
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
    std::memcpy(pbData, m_buffer.data(), readLength);
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(readLength));
    return readLength;
}

bool ScriptedPort::IsReading() {
    if (!m_isOpen) {
        return false;
    }
    if (m_pollsBeforeReading > 0) {
        --m_pollsBeforeReading;
        return false;
    }
    return true;
}
