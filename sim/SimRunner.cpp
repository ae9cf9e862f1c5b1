#include "SimRunner.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <sys/select.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// The longest poll, and how long a quiet line makes the board drop a frame
// that began and did not end.
constexpr auto POLL_PERIOD = 10ms;
constexpr auto QUIET_LINE = 50ms;
constexpr auto WRITE_PATIENCE = 1s;
constexpr int64_t BITS_PER_BYTE = 11;

// Waits up to `wait` until fd can be read (or written); true when it can. With
// select: macOS's poll refuses terminals.
bool waitFor(int fd, bool writing, std::chrono::microseconds wait)
{
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(fd, &ready);
    timeval timeout{static_cast<time_t>(wait.count() / 1'000'000), static_cast<suseconds_t>(wait.count() % 1'000'000)};
    return select(fd + 1, writing ? nullptr : &ready, writing ? &ready : nullptr, nullptr, &timeout) > 0;
}

}  // namespace

SimRunner::SimRunner(SimBoard& board, SimPseudoTerminal& terminal, bool lineRate,
                     std::chrono::milliseconds adapterLatency, std::ostream* log)
    : m_board(board), m_terminal(terminal), m_lineRate(lineRate), m_adapter(adapterLatency, Clock::now()), m_log(log)
{
    m_board.setLog([this](const std::string& text) { this->log(text); });
}

void SimRunner::run(const std::atomic<bool>& stop)
{
#if defined(__linux__)
    // Answers leave when the line would deliver them, not up to 50 microseconds
    // later as Linux allows a timed wait by default.
    prctl(PR_SET_TIMERSLACK, 1UL);
#endif
    while (!stop && !m_board.unplugged()) {
        Clock::time_point now = Clock::now();
        // What the host sent meanwhile is looked at before answers go out: a
        // mode entry resets the board, and what it still owed is never sent.
        if (!m_pending.empty() && m_pending.front().when <= now) {
            takeInput(now);
        }
        if (!m_pending.empty() && !m_input.empty() && m_board.entersMode(m_input.front().bytes)) {
            m_logTime = m_input.front().when;
            log("reset by a mode entry: " + std::to_string(m_pending.size()) + " answers owed are dropped");
            m_pending.clear();
        }
        while (!m_pending.empty() && m_pending.front().when <= now) {
            m_logTime = m_pending.front().when;
            write(m_pending.front().bytes, stop);
            m_pending.pop_front();
        }
        if (m_pending.empty() && !m_input.empty()) {
            handle(m_input.front());
            m_input.pop_front();
            continue;
        }
        // To the microsecond: a wait rounded up to whole milliseconds would
        // hold every answer back by up to a millisecond.
        std::chrono::microseconds wait = POLL_PERIOD;
        if (!m_pending.empty()) {
            wait = std::min(wait, std::chrono::ceil<std::chrono::microseconds>(m_pending.front().when - now));
        }
        const bool readable = waitFor(m_terminal.master(), false, wait);
        now = Clock::now();
        if (readable && takeInput(now)) {
            continue;
        }
        if (readable) {
            std::this_thread::sleep_for(POLL_PERIOD);  // a hang-up or error: do not spin
        } else if (m_input.empty() && m_pending.empty() && now - m_lastByte >= QUIET_LINE) {
            m_logTime = now;
            m_board.lineIdle();
        }
    }
    // What reached the board is still taken in, and logged, but not answered.
    for (const Timed& input : m_input) {
        handle(input);
    }
    m_logTime = Clock::now();
    log(m_board.unplugged() ? "stopped: the cable is pulled, the device hangs up" : "stopped");
}

bool SimRunner::takeInput(Clock::time_point now)
{
    std::array<uint8_t, 4096> buffer{};
    const ssize_t count = read(m_terminal.master(), buffer.data(), buffer.size());
    if (count <= 0) {
        return false;
    }
    m_lastByte = now;
    m_input.push_back({now, std::vector<uint8_t>(buffer.begin(), buffer.begin() + count)});
    return true;
}

void SimRunner::handle(const Timed& input)
{
    const SimLineSettings line = m_terminal.lineSettings();
    const std::chrono::nanoseconds byteTime =
        m_lineRate && line.speed > 0 ? std::chrono::nanoseconds(BITS_PER_BYTE * 1'000'000'000 / line.speed) : 0ns;
    const auto length = [](const std::vector<uint8_t>& bytes) { return static_cast<int64_t>(bytes.size()); };

    // Bytes queue on the line behind the ones before them; the board works on
    // them once it is done with what came before.
    const Clock::time_point arrival = std::max(input.when, m_inputFree);
    m_inputFree = arrival + byteTime * length(input.bytes);
    Clock::time_point ready = std::max(arrival, Clock::now());
    m_logTime = arrival;
    std::vector<Timed> answers;
    for (SimReply& reply : m_board.receive(input.bytes, line)) {
        // The board works from when the frame's last byte is in, or from when
        // its answer before this one is out; then the answer takes the line.
        ready = std::max(ready, arrival + byteTime * static_cast<int64_t>(reply.after)) + reply.busy;
        m_outputFree = std::max(ready, m_outputFree) + byteTime * length(reply.bytes);
        ready = m_outputFree;
        answers.push_back({m_outputFree, std::move(reply.bytes)});
    }
    // The adapter takes each answer whole, as the host would without it: the
    // host can use an answer once its last byte is in.
    for (Timed& part : m_adapter.pass(answers)) {
        m_pending.push_back(std::move(part));
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
        waitFor(m_terminal.master(), true, POLL_PERIOD);
    }
}

void SimRunner::log(const std::string& text)
{
    if (m_log == nullptr) {
        return;
    }
    const auto now = std::chrono::system_clock::now() +
                     std::chrono::duration_cast<std::chrono::system_clock::duration>(m_logTime - Clock::now());
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
