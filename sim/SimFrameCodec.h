// The board's side of the frame layer. The board reads command frames
// (SOH, length, command code and data, sum, ETX) and data frames (STX, length,
// data, sum, ETX or ETB) from the host, one byte at a time, and answers with
// frames of its own (STX, length, data, sum, ETX). A 0x00 byte where a frame
// would begin is the host's mode-entry byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

class SimFrameCodec {
public:
    static constexpr uint8_t SOH = 0x01;
    static constexpr uint8_t STX = 0x02;
    static constexpr uint8_t ETX = 0x03;
    static constexpr uint8_t ETB = 0x17;
    static constexpr uint8_t MODE_ENTRY = 0x00;

    // What one received byte completed.
    enum class Event { None, ModeEntry, Frame, BadFrame, Stray };

    struct Frame {
        uint8_t start = 0;          // SOH for a command frame, STX for a data frame
        std::vector<uint8_t> body;  // command code and data, or the data bytes (1 to 256)
        uint8_t end = 0;            // ETX or ETB
        std::vector<uint8_t> raw;   // every byte of the frame as received
    };

    Event push(uint8_t byte);
    // The frame completed by the last push that returned Frame or BadFrame.
    const Frame& frame() const { return m_frame; }
    // Why the last BadFrame was bad.
    const std::string& error() const { return m_error; }
    // True while a frame has begun but not ended.
    bool inFrame() const { return m_state != State::Start; }
    // Abandons a frame in progress (a framing error or a quiet line).
    void reset();

    // Sum byte over the given bytes: (0 - their sum) mod 256.
    static uint8_t sum(std::span<const uint8_t> bytes);
    // A frame from the board: STX, length (256 written as 0), data, sum, ETX.
    static std::vector<uint8_t> frame(std::span<const uint8_t> data);
    // Upper-case hex bytes separated by spaces; longer input is cut after
    // maxBytes and followed by the total length.
    static std::string hex(std::span<const uint8_t> bytes, std::size_t maxBytes = 32);

private:
    enum class State { Start, Length, Body, Sum, End };

    Event finish(uint8_t end);

    State m_state = State::Start;
    std::size_t m_length = 0;
    Frame m_frame;
    std::string m_error;
};
