// The loop that plays the board on the pseudo-terminal: it waits for bytes
// from the host, hands them to the board together with the host's line
// settings, and writes the board's answers back. With the line rate on, bytes
// take as long as a real line needs for them (11 bits each: start bit, 8 data
// bits, 2 stop bits); the flash times the board reports are always kept.
#pragma once

#include "SimBoard.h"
#include "SimPseudoTerminal.h"

#include <atomic>
#include <chrono>
#include <ostream>
#include <span>
#include <string>

class SimRunner {
public:
    // log may be null. board and terminal must outlive the runner.
    SimRunner(SimBoard& board, SimPseudoTerminal& terminal, bool lineRate, std::ostream* log);

    // Serves hosts until stop becomes true.
    void run(const std::atomic<bool>& stop);

private:
    using Clock = std::chrono::steady_clock;

    void handle(std::span<const uint8_t> bytes, const std::atomic<bool>& stop);
    void write(std::span<const uint8_t> bytes, const std::atomic<bool>& stop);
    void log(const std::string& text);

    SimBoard& m_board;
    SimPseudoTerminal& m_terminal;
    bool m_lineRate;
    std::ostream* m_log;
    Clock::time_point m_lastByte = Clock::now();
    Clock::time_point m_inputFree = Clock::now();   // when the line from the host is free again
    Clock::time_point m_outputFree = Clock::now();  // when the line to the host is free again
};
