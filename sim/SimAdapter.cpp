#include "SimAdapter.h"

#include <algorithm>
#include <span>

SimAdapter::SimAdapter(std::chrono::milliseconds latency, Clock::time_point origin)
    : m_latency(latency), m_origin(origin)
{
}

std::vector<SimAdapter::Timed> SimAdapter::pass(const std::vector<Timed>& answers) const
{
    std::vector<Clock::time_point> arrivals;
    for (const Timed& answer : answers) {
        arrivals.insert(arrivals.end(), answer.bytes.size(), answer.when);
    }
    const std::vector<Clock::time_point> released = release(arrivals);
    std::vector<Timed> parts;
    std::size_t first = 0;  // where the answer's bytes begin in released
    for (const Timed& answer : answers) {
        const std::span<const uint8_t> bytes = answer.bytes;
        std::size_t from = 0;
        while (from < bytes.size()) {
            const Clock::time_point when = released[first + from];
            std::size_t to = from + 1;
            while (to < bytes.size() && released[first + to] == when) {
                ++to;
            }
            const std::span<const uint8_t> part = bytes.subspan(from, to - from);
            parts.push_back({when, std::vector<uint8_t>(part.begin(), part.end())});
            from = to;
        }
        first += bytes.size();
    }
    return parts;
}

std::vector<SimAdapter::Clock::time_point> SimAdapter::release(const std::vector<Clock::time_point>& arrivals) const
{
    if (m_latency == Clock::duration::zero()) {
        return arrivals;
    }
    std::vector<Clock::time_point> released(arrivals.size());
    std::size_t waiting = 0;  // the first byte still in the adapter
    const auto send = [&](std::size_t end, Clock::time_point when) {
        std::fill(released.begin() + static_cast<std::ptrdiff_t>(waiting),
                  released.begin() + static_cast<std::ptrdiff_t>(end), when);
        waiting = end;
    };
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        // A tick before this byte came took what was waiting; a byte that
        // comes at the tick itself still goes with it.
        if (waiting < i && tick(arrivals[waiting]) < arrivals[i]) {
            send(i, tick(arrivals[waiting]));
        }
        if (i + 1 - waiting == PACKET_BYTES) {
            send(i + 1, arrivals[i]);
        }
    }
    if (waiting < arrivals.size()) {
        send(arrivals.size(), tick(arrivals[waiting]));
    }
    return released;
}

SimAdapter::Clock::time_point SimAdapter::tick(Clock::time_point when) const
{
    return m_origin + (when - m_origin + m_latency - Clock::duration(1)) / m_latency * m_latency;
}
