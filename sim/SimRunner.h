// The loop that plays the board on the pseudo-terminal: it reads bytes from
// the host as they come, hands them to the board together with the host's line
// settings once the board has sent all it owes, and writes the board's answers
// back when they are due. With the line rate on, bytes take as long as a real
// line needs for them (11 bits each: start bit, 8 data bits, 2 stop bits); the
// board's working times are always kept. With an adapter latency, the board's
// answers reach the host through a USB serial adapter (SimAdapter). Time is kept as data (when bytes
// arrived, when the line is free, when an answer is due), and the log shows
// each event at its time, so a frame that arrives while the board is busy is
// logged when it arrived.
#pragma once

#include "SimAdapter.h"
#include "SimBoard.h"
#include "SimPseudoTerminal.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <ostream>
#include <span>
#include <string>

class SimRunner {
public:
    // log may be null. board and terminal must outlive the runner.
    SimRunner(SimBoard& board, SimPseudoTerminal& terminal, bool lineRate, std::chrono::milliseconds adapterLatency,
              std::ostream* log);

    // Serves hosts until stop becomes true or the board's cable is pulled;
    // then takes in the bytes that came and leaves the answers to them unsent.
    void run(const std::atomic<bool>& stop);

private:
    using Clock = std::chrono::steady_clock;

    using Timed = SimAdapter::Timed;  // when: arrival of the first byte, or when the last byte is out

    // Reads what the host has sent, without waiting; false when nothing came.
    bool takeInput(Clock::time_point now);
    // The board takes bytes that arrived; its answers join the pending ones.
    void handle(const Timed& input);
    void write(std::span<const uint8_t> bytes, const std::atomic<bool>& stop);
    void log(const std::string& text);

    SimBoard& m_board;
    SimPseudoTerminal& m_terminal;
    bool m_lineRate;
    SimAdapter m_adapter;
    std::ostream* m_log;
    std::deque<Timed> m_input;    // bytes the board has not taken yet
    std::deque<Timed> m_pending;  // answers not yet sent, in order
    Clock::time_point m_logTime;  // the time of the event being logged
    Clock::time_point m_lastByte = Clock::now();
    Clock::time_point m_inputFree = Clock::now();   // when the line from the host is free again
    Clock::time_point m_outputFree = Clock::now();  // when the line to the host is free again
};
