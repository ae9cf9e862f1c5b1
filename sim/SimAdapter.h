// A USB serial adapter of the common kind between the board's line and the
// host. It passes the bytes it takes from the line on in USB packets: at once
// when 62 are waiting, otherwise at the next tick of its latency timer, which
// ticks every `latency` from `origin`. With a latency of 0 there is no
// adapter, and bytes reach the host as they come.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

class SimAdapter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t PACKET_BYTES = 62;

    SimAdapter(std::chrono::milliseconds latency, Clock::time_point origin);

    // When each byte reaches the host, for bytes that reach the adapter at the
    // given times (in order, none before origin) while nothing is waiting in it.
    std::vector<Clock::time_point> release(const std::vector<Clock::time_point>& arrivals) const;

private:
    // The first tick at or after `when`.
    Clock::time_point tick(Clock::time_point when) const;

    Clock::duration m_latency;
    Clock::time_point m_origin;
};
