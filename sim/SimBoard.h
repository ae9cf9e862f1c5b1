// The target board's side of the boot protocol, free of any file descriptor:
// bytes from the host go in, the board's answers come out. The pseudo-terminal
// loop (SimRunner) feeds it; tests and the fuzz target can drive it directly.
//
// Mode entry is a 0x00 byte where a frame would begin, at 115200 baud 8N2.
// The board then answers Baud Rate Set first, and after that every command.
// It understands the host only while the host's line runs at the speed the
// board expects and with 8 data bits, no parity and 2 stop bits; anything else
// is garbage to it and gets no answer. A frame that fails its sum or form
// check gets no answer either: the board cannot trust any of its bytes, and
// the host's timeout and retry recover from it.
//
// It has a code flash from address 0 and a data flash from 0xF1000 (which may
// have no bytes). Block Blank Check, Block Erase, Programming and Checksum
// work on a range that lies inside one of them, and take that flash's time;
// any other range is answered with status 05 and nothing is done.
#pragma once

#include "SimFaults.h"
#include "SimFlash.h"
#include "SimFrameCodec.h"
#include "SimOptions.h"
#include "SimTimeouts.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The host's settings on its end of the line.
struct SimLineSettings {
    uint32_t speed = 0;  // bits per second
    uint8_t dataBits = 8;
    char parity = 'N';  // N, E or O
    uint8_t stopBits = 1;

    bool isEightN2() const { return dataBits == 8 && parity == 'N' && stopBits == 2; }
    std::string describe() const;
    bool operator==(const SimLineSettings&) const = default;
};

// One frame (or a run of stray bytes) the board sends.
struct SimReply {
    std::size_t after = 0;  // received bytes taken in when the board made it
    // Time the board works before it sends it: from when the host's frame was
    // in, or from when the board's answer before this one was out.
    std::chrono::microseconds busy{0};
    std::vector<uint8_t> bytes;
};

class SimBoard {
public:
    static constexpr uint8_t ACK = 0x06;
    static constexpr uint8_t UNKNOWN_COMMAND = 0x04;
    static constexpr uint8_t PARAMETER_ERROR = 0x05;
    static constexpr uint8_t NOT_BLANK = 0x1B;
    static constexpr uint32_t ENTRY_SPEED = 115200;

    explicit SimBoard(const SimOptions& options);

    // Takes bytes that arrived while the host's line had the given settings.
    std::vector<SimReply> receive(std::span<const uint8_t> bytes, const SimLineSettings& line);
    // The bytes begin a mode entry (a 0x00 where a frame would begin): the
    // host's DTR and break have reset the board, so what it still owed the
    // last host is never sent.
    bool entersMode(std::span<const uint8_t> bytes) const
    {
        return !bytes.empty() && bytes.front() == 0x00 && !m_codec.inFrame();
    }
    // The line has been quiet: a frame that began and did not end is dropped.
    void lineIdle();
    // The speed the board's serial port runs at now.
    uint32_t speed() const { return m_speed; }
    // True once an unplug fault has pulled the cable: the board takes nothing more.
    bool unplugged() const { return m_unplugged; }
    SimFlash& codeFlash() { return m_codeFlash; }
    SimFlash& dataFlash() { return m_dataFlash; }
    // Where the board tells what it receives and does, one line at a time.
    void setLog(std::function<void(const std::string&)> log) { m_log = std::move(log); }

private:
    enum class State { Deaf, AwaitBaud, Ready };
    struct Transfer {
        SimFlash* flash = nullptr;
        uint32_t start = 0;
        uint32_t end = 0;
        uint32_t next = 0;            // where the next data frame goes
        uint32_t lastFrameStart = 0;  // where the last data frame went
        uint32_t frames = 0;          // data frames taken
        bool finished = false;        // the last frame (ETX) has been taken
    };

    // True when a port at speed, 8N2, understands a host with these settings.
    static bool matches(const SimLineSettings& line, uint32_t speed);
    void modeEntry();
    // The flash that holds the whole range, or null.
    SimFlash* flashFor(uint32_t start, uint32_t end);
    void handleCommand(const SimFrameCodec::Frame& frame);
    void execute(SimCommand command, std::span<const uint8_t> arguments);
    void handleData(const SimFrameCodec::Frame& frame);
    void finishTransfer();
    std::vector<uint8_t> signature() const;
    struct Outgoing {
        std::vector<uint8_t> frame;
        std::chrono::microseconds busy{};
    };

    // How long the board works before it answers exchange: the share of the
    // time the host allows for it that --answer-at sets, when that applies to
    // the exchange; work otherwise. start..end is the command's address range.
    std::chrono::microseconds delay(SimExchange exchange, std::chrono::microseconds work = {}, uint32_t start = 0,
                                    uint32_t end = 0) const;
    // Sends the frames of an answer to command, with the faults aimed at it.
    void answer(SimCommand command, std::vector<Outgoing> frames);
    // Answers a command frame with one status byte, after the delay its
    // exchange takes for a range from start.
    void answerStatus(SimCommand command, uint8_t status, uint32_t start = 0);
    void send(std::vector<uint8_t> bytes, std::chrono::microseconds busy = {});
    void note(const std::string& text) const;

    SimFlash m_codeFlash;
    SimFlash m_dataFlash;
    SimFaults m_faults;
    std::string m_deviceName;
    std::chrono::milliseconds m_eraseTime;
    std::chrono::milliseconds m_programTime;
    std::optional<double> m_answerAt;
    std::optional<SimExchange> m_answerOnly;

    SimFrameCodec m_codec;
    State m_state = State::Deaf;
    uint32_t m_speed = ENTRY_SPEED;
    uint32_t m_entries = 0;
    uint32_t m_entriesIgnored = 0;              // mode entries in a row left unanswered
    uint32_t m_frames = 0;                      // well-formed frames taken, for unplug
    std::array<uint32_t, 8> m_answers{};        // answers sent, by SimCommand, for late
    std::vector<std::vector<uint8_t>> m_spare;  // an answer to send again as the next frame comes
    bool m_unplugged = false;
    std::optional<SimLineSettings> m_lastLine;
    std::optional<Transfer> m_transfer;
    std::vector<SimReply> m_replies;
    std::size_t m_taken = 0;
    std::function<void(const std::string&)> m_log;
};
