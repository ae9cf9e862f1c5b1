#include "SimRunner.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// How long poll waits, and how long a quiet line makes the board drop a frame
// that began and did not end.
constexpr auto POLL_PERIOD = 10ms;
constexpr auto QUIET_LINE = 50ms;
constexpr auto WRITE_PATIENCE = 1s;
constexpr int64_t BITS_PER_BYTE = 11;

void sleepUntil(std::chrono::steady_clock::time_point when, const std::atomic<bool>& stop)
{
    while (!stop && std::chrono::steady_clock::now() < when) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            when - std::chrono::steady_clock::now(), POLL_PERIOD));
    }
}

}  // namespace

SimRunner::SimRunner(SimBoard& board, SimPseudoTerminal& terminal, bool lineRate, std::ostream* log)
    : m_board(board), m_terminal(terminal), m_lineRate(lineRate), m_log(log)
{
    m_board.setLog([this](const std::string& text) { this->log(text); });
}

void SimRunner::run(const std::atomic<bool>& stop)
{
    std::array<uint8_t, 4096> buffer{};
    while (!stop) {
        pollfd descriptor{m_terminal.master(), POLLIN, 0};
        const int ready = poll(&descriptor, 1, static_cast<int>(POLL_PERIOD.count()));
        const ssize_t count = ready > 0 ? read(m_terminal.master(), buffer.data(), buffer.size()) : 0;
        if (count <= 0) {
            if (Clock::now() - m_lastByte >= QUIET_LINE) {
                m_board.lineIdle();
            }
            if (ready > 0) {
                std::this_thread::sleep_for(POLL_PERIOD);  // a hang-up or error: do not spin
            }
            continue;
        }
        m_lastByte = Clock::now();
        handle(std::span(buffer.data(), static_cast<std::size_t>(count)), stop);
    }
}

void SimRunner::handle(std::span<const uint8_t> bytes, const std::atomic<bool>& stop)
{
    const SimLineSettings line = m_terminal.lineSettings();
    const std::chrono::nanoseconds byteTime =
        m_lineRate && line.speed > 0 ? std::chrono::nanoseconds(BITS_PER_BYTE * 1'000'000'000 / line.speed) : 0ns;
    const auto length = [](std::span<const uint8_t> span) { return static_cast<int64_t>(span.size()); };

    const Clock::time_point arrival = std::max(Clock::now(), m_inputFree);
    m_inputFree = arrival + byteTime * length(bytes);
    Clock::time_point ready = arrival;  // when the board is done with what came before
    for (const SimReply& reply : m_board.receive(bytes, line)) {
        // The board works from when the frame's last byte is in, or from when
        // its answer before this one is out; then the answer takes the line.
        ready = std::max(ready, arrival + byteTime * static_cast<int64_t>(reply.after)) + reply.busy;
        m_outputFree = std::max(ready, m_outputFree) + byteTime * length(reply.bytes);
        sleepUntil(m_outputFree, stop);
        write(reply.bytes, stop);
        ready = m_outputFree;
    }
}

void SimRunner::write(std::span<const uint8_t> bytes, const std::atomic<bool>& stop)
{
    log("board> " + SimFrameCodec::hex(bytes));
    const Clock::time_point deadline = Clock::now() + WRITE_PATIENCE;
    while (!bytes.empty() && !stop) {
        const ssize_t written = ::write(m_terminal.master(), bytes.data(), bytes.size());
        if (written > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
        if (Clock::now() > deadline) {
            log("answer not delivered: nobody reads the line");
            break;
        }
        pollfd descriptor{m_terminal.master(), POLLOUT, 0};
        poll(&descriptor, 1, static_cast<int>(POLL_PERIOD.count()));
    }
}

void SimRunner::log(const std::string& text)
{
    if (m_log == nullptr) {
        return;
    }
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(milliseconds));
    *m_log << stamp << text << std::endl;
}
