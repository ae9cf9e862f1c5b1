// A USB serial adapter of the common kind between the board's line and the
// host. It passes the bytes it takes from the line on in USB packets: at once
// when 62 are waiting, otherwise at the next tick of its latency timer, which
// ticks every `latency` from `origin`. With a latency of 0 there is no
// adapter, and bytes reach the host as they come.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

class SimAdapter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t PACKET_BYTES = 62;

    struct Timed {
        Clock::time_point when;
        std::vector<uint8_t> bytes;
    };

    SimAdapter(std::chrono::milliseconds latency, Clock::time_point origin);

    // The parts in which, and the times at which, answers reach the host that
    // reach the adapter whole at their times (in order, none before origin)
    // while nothing is waiting in it. No part holds bytes of two answers.
    std::vector<Timed> pass(const std::vector<Timed>& answers) const;

private:
    // When each byte reaches the host, for bytes that reach the adapter at
    // the given times.
    std::vector<Clock::time_point> release(const std::vector<Clock::time_point>& arrivals) const;
    // The first tick at or after `when`.
    Clock::time_point tick(Clock::time_point when) const;

    Clock::duration m_latency;
    Clock::time_point m_origin;
};
