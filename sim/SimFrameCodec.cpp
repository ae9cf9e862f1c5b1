#include "SimFrameCodec.h"

#include <cstdio>
#include <numeric>

SimFrameCodec::Event SimFrameCodec::push(uint8_t byte)
{
    switch (m_state) {
    case State::Start:
        if (byte == MODE_ENTRY) {
            return Event::ModeEntry;
        }
        if (byte != SOH && byte != STX) {
            return Event::Stray;
        }
        m_frame = Frame{};
        m_frame.start = byte;
        m_frame.raw.push_back(byte);
        m_state = State::Length;
        return Event::None;
    case State::Length:
        m_frame.raw.push_back(byte);
        m_length = byte == 0 ? 256 : byte;
        m_state = State::Body;
        return Event::None;
    case State::Body:
        m_frame.raw.push_back(byte);
        m_frame.body.push_back(byte);
        if (m_frame.body.size() == m_length) {
            m_state = State::Sum;
        }
        return Event::None;
    case State::Sum:
        m_frame.raw.push_back(byte);
        m_state = State::End;
        return Event::None;
    case State::End: break;
    }
    return finish(byte);
}

SimFrameCodec::Event SimFrameCodec::finish(uint8_t end)
{
    m_state = State::Start;
    m_frame.raw.push_back(end);
    m_frame.end = end;
    // The sum covers the length byte through the last body byte.
    const std::span<const uint8_t> covered(m_frame.raw.data() + 1, m_frame.raw.size() - 3);
    const uint8_t sumByte = m_frame.raw[m_frame.raw.size() - 2];
    const bool endOk = end == ETX || (end == ETB && m_frame.start == STX);
    if (!endOk) {
        m_error = "bad end byte";
        return Event::BadFrame;
    }
    if (sum(covered) != sumByte) {
        m_error = "bad sum";
        return Event::BadFrame;
    }
    return Event::Frame;
}

void SimFrameCodec::reset() { m_state = State::Start; }

uint8_t SimFrameCodec::sum(std::span<const uint8_t> bytes)
{
    const unsigned total = std::accumulate(bytes.begin(), bytes.end(), 0U);
    return static_cast<uint8_t>(0U - total);
}

std::vector<uint8_t> SimFrameCodec::frame(std::span<const uint8_t> data)
{
    std::vector<uint8_t> out;
    out.reserve(data.size() + 4);
    out.push_back(STX);
    out.push_back(static_cast<uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(sum(std::span<const uint8_t>(out).subspan(1)));
    out.push_back(ETX);
    return out;
}

std::string SimFrameCodec::hex(std::span<const uint8_t> bytes, std::size_t maxBytes)
{
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < maxBytes; ++i) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        text += (i == 0 ? "" : " ");
        text += digits;
    }
    if (bytes.size() > maxBytes) {
        text += " ... (" + std::to_string(bytes.size()) + " bytes)";
    }
    return text;
}
