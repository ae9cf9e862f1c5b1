#include "SimBoard.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace {

constexpr std::array<uint32_t, 4> SPEEDS{115200, 250000, 500000, 1000000};
constexpr std::array<uint8_t, 3> DEVICE_CODE{0x51, 0x57, 0x01};
constexpr std::array<uint8_t, 3> FIRMWARE_VERSION{0x01, 0x00, 0x00};

uint32_t address(std::span<const uint8_t> bytes, std::size_t offset)
{
    return bytes[offset] | (uint32_t{bytes[offset + 1]} << 8) | (uint32_t{bytes[offset + 2]} << 16);
}

void appendAddress(std::vector<uint8_t>& bytes, uint32_t value)
{
    for (int shift = 0; shift < 24; shift += 8) {
        bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
}

struct CommandInfo {
    uint8_t code;
    SimCommand command;
    const char* name;
    std::size_t arguments;
    SimExchange status;  // the exchange of the status that answers the command
};

constexpr std::array<CommandInfo, 7> COMMANDS{{
    {0x9A, SimCommand::Baud, "Baud Rate Set", 2, SimExchange::Baud},
    {0x00, SimCommand::Reset, "Reset", 0, SimExchange::Reset},
    {0xC0, SimCommand::Signature, "Silicon Signature", 0, SimExchange::Signature},
    {0x32, SimCommand::Blank, "Block Blank Check", 7, SimExchange::Blank},
    {0x22, SimCommand::Erase, "Block Erase", 3, SimExchange::Erase},
    {0x40, SimCommand::Program, "Programming", 6, SimExchange::Program},
    {0xB0, SimCommand::Checksum, "Checksum", 6, SimExchange::Checksum},
}};

// The exchange of the status that answers a frame of command; a data frame's
// for a data frame.
SimExchange statusExchange(SimCommand command)
{
    for (const CommandInfo& candidate : COMMANDS) {
        if (candidate.command == command) {
            return candidate.status;
        }
    }
    return SimExchange::Data;
}

}  // namespace

std::string SimLineSettings::describe() const
{
    return std::to_string(speed) + " baud " + std::to_string(dataBits) + parity + std::to_string(stopBits);
}

SimBoard::SimBoard(const SimOptions& options)
    : m_codeFlash("code flash", 0, options.codeFlashEnd + 1),
      m_dataFlash("data flash", SimFlash::DATA_FLASH_START, options.dataFlashSize),
      m_faults(options.faults),
      m_deviceName(options.deviceName),
      m_eraseTime(options.eraseMs),
      m_programTime(options.programMs),
      m_answerAt(options.answerAt),
      m_answerOnly(options.answerOnly)
{
    m_deviceName.resize(10, ' ');
}

bool SimBoard::matches(const SimLineSettings& line, uint32_t speed)
{
    // A UART samples each bit in its middle, so it copes with a speed that is
    // off by a percent or two, not more.
    const auto difference = std::abs(static_cast<int64_t>(line.speed) - static_cast<int64_t>(speed));
    return line.isEightN2() && difference * 50 <= static_cast<int64_t>(speed);
}

std::vector<SimReply> SimBoard::receive(std::span<const uint8_t> bytes, const SimLineSettings& line)
{
    m_replies.clear();
    if (m_unplugged) {
        return {};
    }
    if (m_lastLine && *m_lastLine != line) {
        m_codec.reset();  // the host retuned its line: whatever was under way is lost
    }
    m_lastLine = line;

    std::size_t garbled = 0;
    std::size_t stray = 0;
    for (m_taken = 1; m_taken <= bytes.size(); ++m_taken) {
        const uint8_t byte = bytes[m_taken - 1];
        if (!matches(line, m_speed)) {
            // A host at the entry speed can still pull the board back into
            // mode entry; any other byte is garbage to the board's port.
            // Its frames are followed only to tell a 0x00 byte inside a
            // frame from one where a frame would begin.
            const bool entryLine = matches(line, ENTRY_SPEED);
            if (entryLine && m_codec.push(byte) == SimFrameCodec::Event::ModeEntry) {
                modeEntry();
                continue;
            }
            ++garbled;
            if (!entryLine) {
                m_codec.reset();
            }
            continue;
        }
        switch (m_codec.push(byte)) {
        case SimFrameCodec::Event::None: break;
        case SimFrameCodec::Event::ModeEntry: modeEntry(); break;
        case SimFrameCodec::Event::Stray: ++stray; break;
        case SimFrameCodec::Event::BadFrame:
            note("host> " + SimFrameCodec::hex(m_codec.frame().raw) + "  " + m_codec.error() + ", ignored");
            break;
        case SimFrameCodec::Event::Frame:
            if (m_faults.takeUnplug(++m_frames)) {
                note("fault: cable pulled as frame " + std::to_string(m_frames) + " came");
                m_unplugged = true;
                return {};
            }
            if (!m_spare.empty()) {
                note("fault: an answer sent once more");
                for (std::vector<uint8_t>& spare : std::exchange(m_spare, {})) {
                    send(std::move(spare));
                }
            }
            if (m_codec.frame().start == SimFrameCodec::SOH) {
                handleCommand(m_codec.frame());
            } else {
                handleData(m_codec.frame());
            }
            break;
        }
    }
    if (garbled > 0) {
        note(std::to_string(garbled) + " bytes not understood: host at " + line.describe() + ", board at " +
             std::to_string(m_speed) + " baud 8N2");
    }
    if (stray > 0) {
        note(std::to_string(stray) + " bytes outside any frame ignored");
    }
    return std::move(m_replies);
}

void SimBoard::lineIdle()
{
    if (m_codec.inFrame()) {
        note("incomplete frame dropped after a quiet line");
        m_codec.reset();
    }
}

void SimBoard::modeEntry()
{
    ++m_entries;
    m_speed = ENTRY_SPEED;
    m_transfer.reset();
    m_codec.reset();
    m_spare.clear();
    const bool answered = m_entriesIgnored + 1 >= m_faults.answeredEntry();
    m_entriesIgnored = answered ? 0 : m_entriesIgnored + 1;
    m_state = answered ? State::AwaitBaud : State::Deaf;
    note("mode entry " + std::to_string(m_entries) + (answered ? "" : " (fault: not answered)"));
}

SimFlash* SimBoard::flashFor(uint32_t start, uint32_t end)
{
    for (SimFlash* flash : {&m_codeFlash, &m_dataFlash}) {
        if (flash->contains(start, end)) {
            return flash;
        }
    }
    return nullptr;
}

void SimBoard::handleCommand(const SimFrameCodec::Frame& frame)
{
    const uint8_t code = frame.body[0];
    const CommandInfo* command = nullptr;
    for (const CommandInfo& candidate : COMMANDS) {
        if (candidate.code == code) {
            command = &candidate;
        }
    }
    note("host> " + SimFrameCodec::hex(frame.raw) + "  " + (command ? command->name : "unknown command"));
    if (m_state == State::Deaf) {
        note("ignored: not in programming mode");
        return;
    }
    if (m_state == State::AwaitBaud && (command == nullptr || command->command != SimCommand::Baud)) {
        note("ignored: Baud Rate Set comes first");
        return;
    }
    m_transfer.reset();  // any command ends a programming transfer
    if (command == nullptr) {
        send(SimFrameCodec::frame(std::array{UNKNOWN_COMMAND}));
        return;
    }
    if (m_faults.takeSilent(command->command)) {
        note("fault: frame lost");
        return;
    }
    if (const std::optional<uint8_t> status = m_faults.takeStatus(command->command)) {
        note("fault: answered with a set status");
        answerStatus(command->command, *status);
        return;
    }
    const std::span<const uint8_t> arguments = std::span(frame.body).subspan(1);
    if (arguments.size() != command->arguments) {
        answerStatus(command->command, PARAMETER_ERROR);
        return;
    }
    execute(command->command, arguments);
}

void SimBoard::execute(SimCommand command, std::span<const uint8_t> arguments)
{
    const auto range = [&]() { return std::pair(address(arguments, 0), address(arguments, 3)); };
    switch (command) {
    case SimCommand::Baud: {
        const uint8_t code = arguments[0];
        if (code >= SPEEDS.size()) {
            answerStatus(command, PARAMETER_ERROR);
            return;
        }
        std::vector<uint8_t> status{ACK};
        if (m_faults.takeLongBaud()) {
            status.insert(status.end(), arguments.begin(), arguments.end());
        }
        answer(command, {{SimFrameCodec::frame(status), delay(SimExchange::Baud)}});
        m_speed = SPEEDS[code];
        m_state = State::Ready;
        note("board port now at " + std::to_string(m_speed) + " baud");
        return;
    }
    case SimCommand::Reset: answerStatus(command, ACK); return;
    case SimCommand::Signature:
        answer(command, {{SimFrameCodec::frame(std::array{ACK}), delay(SimExchange::Signature)},
                         {SimFrameCodec::frame(signature()), delay(SimExchange::SignatureData)}});
        return;
    case SimCommand::Blank: {
        const auto [start, end] = range();
        if (SimFlash* flash = flashFor(start, end)) {
            const uint8_t status = flash->isBlank(start, end) ? ACK : NOT_BLANK;
            answer(command, {{SimFrameCodec::frame(std::array{status}), delay(SimExchange::Blank, {}, start, end)}});
        } else {
            answerStatus(command, PARAMETER_ERROR);
        }
        return;
    }
    case SimCommand::Erase: {
        const uint32_t start = address(arguments, 0);
        SimFlash* flash = flashFor(start, start + SimFlash::BLOCK_SIZE - 1);
        if (start % SimFlash::BLOCK_SIZE != 0 || flash == nullptr) {
            answerStatus(command, PARAMETER_ERROR);
            return;
        }
        flash->eraseBlock(start);
        answer(command,
               {{SimFrameCodec::frame(std::array{ACK}), delay(SimExchange::Erase, m_eraseTime, start, start)}});
        return;
    }
    case SimCommand::Program: {
        const auto [start, end] = range();
        SimFlash* flash = flashFor(start, end);
        if (flash == nullptr) {
            answerStatus(command, PARAMETER_ERROR);
            return;
        }
        answerStatus(command, ACK, start);
        m_transfer = Transfer{flash, start, end, start};
        return;
    }
    case SimCommand::Checksum: {
        const auto [start, end] = range();
        const SimFlash* flash = flashFor(start, end);
        if (flash == nullptr) {
            answerStatus(command, PARAMETER_ERROR);
            return;
        }
        const uint16_t checksum = flash->checksum(start, end);
        const std::array<uint8_t, 2> bytes{static_cast<uint8_t>(checksum), static_cast<uint8_t>(checksum >> 8)};
        answer(command, {{SimFrameCodec::frame(std::array{ACK}), delay(SimExchange::Checksum, {}, start, end)},
                         {SimFrameCodec::frame(bytes), delay(SimExchange::ChecksumData, {}, start, end)}});
        return;
    }
    case SimCommand::Data: break;  // data frames are not commands
    }
}

void SimBoard::handleData(const SimFrameCodec::Frame& frame)
{
    const bool last = frame.end == SimFrameCodec::ETX;
    note("host> " + SimFrameCodec::hex(frame.raw) + "  data frame" + (last ? ", last" : ""));
    if (m_state == State::Deaf || !m_transfer || (m_transfer->finished && !last)) {
        note("ignored: no programming transfer under way");
        return;
    }
    Transfer& transfer = *m_transfer;
    if (transfer.finished) {
        // The host did not get the completion status and sends its last frame again.
        transfer.next = transfer.lastFrameStart;
        --transfer.frames;
        transfer.finished = false;
    }
    const uint32_t number = transfer.frames + 1;
    if (m_faults.takeSilent(SimCommand::Data) || m_faults.takeDropData(number)) {
        note("fault: data frame " + std::to_string(number) + " lost");
        return;
    }
    if (const std::optional<uint8_t> status = m_faults.takeStatus(SimCommand::Data)) {
        note("fault: answered with a set status");
        answerStatus(SimCommand::Data, *status, transfer.start);
        m_transfer.reset();
        return;
    }
    if (frame.body.size() > uint64_t{transfer.end} + 1 - transfer.next) {
        note("data beyond the end of the programming range");
        answerStatus(SimCommand::Data, PARAMETER_ERROR, transfer.start);
        m_transfer.reset();
        return;
    }
    transfer.flash->program(transfer.next, frame.body);
    transfer.lastFrameStart = transfer.next;
    transfer.next += static_cast<uint32_t>(frame.body.size());
    ++transfer.frames;
    std::vector<uint8_t> status{ACK};
    if (m_faults.takeDoubleStatus()) {
        status.push_back(ACK);
    }
    answer(SimCommand::Data,
           {{SimFrameCodec::frame(status), delay(SimExchange::Data, m_programTime, transfer.start, transfer.end)}});
    if (last) {
        finishTransfer();
    }
}

void SimBoard::finishTransfer()
{
    Transfer& transfer = *m_transfer;
    transfer.finished = true;
    for (const uint32_t corrupted : m_faults.takeFlips(transfer.start, transfer.next - 1)) {
        transfer.flash->corrupt(corrupted);
        note("fault: byte at " + std::to_string(corrupted) + " corrupted");
    }
    if (m_faults.takeLoseCompletion()) {
        note("fault: completion status lost");
        return;
    }
    send(SimFrameCodec::frame(std::array{ACK}), delay(SimExchange::Completion, {}, transfer.start, transfer.end));
}

std::vector<uint8_t> SimBoard::signature() const
{
    std::vector<uint8_t> data;
    data.reserve(22);
    data.insert(data.end(), DEVICE_CODE.begin(), DEVICE_CODE.end());
    data.insert(data.end(), m_deviceName.begin(), m_deviceName.end());
    appendAddress(data, m_codeFlash.endAddress());
    appendAddress(data, m_dataFlash.endAddress());
    data.insert(data.end(), FIRMWARE_VERSION.begin(), FIRMWARE_VERSION.end());
    return data;
}

std::chrono::microseconds SimBoard::delay(SimExchange exchange, std::chrono::microseconds work, uint32_t start,
                                          uint32_t end) const
{
    if (!m_answerAt || (m_answerOnly && *m_answerOnly != exchange)) {
        return work;
    }
    return std::chrono::microseconds(std::llround(*m_answerAt * 1000.0 * SimTimeouts::allowed(exchange, start, end)));
}

void SimBoard::answer(SimCommand command, std::vector<Outgoing> frames)
{
    const uint32_t number = ++m_answers[static_cast<std::size_t>(command)];
    if (const uint32_t late = m_faults.takeLate(command, number); late != 0) {
        note("fault: answer " + std::to_string(number) + " late by " + std::to_string(late) + " ms");
        frames.front().busy += std::chrono::milliseconds(late);
    }
    if (std::vector<uint8_t> stray = m_faults.takeStray(command); !stray.empty()) {
        note("fault: stray bytes before the answer");
        send(std::move(stray), std::exchange(frames.front().busy, {}));
    }
    if (m_faults.takeBadSum(command)) {
        note("fault: wrong sum in the answer");
        std::vector<uint8_t>& last = frames.back().frame;
        ++last[last.size() - 2];
    }
    if (m_faults.takeLateSpare(command)) {
        note("fault: the answer goes once more as the next frame comes");
        for (const Outgoing& outgoing : frames) {
            m_spare.push_back(outgoing.frame);
        }
    }
    for (Outgoing& outgoing : frames) {
        send(std::move(outgoing.frame), outgoing.busy);
    }
}

void SimBoard::answerStatus(SimCommand command, uint8_t status, uint32_t start)
{
    answer(command, {{SimFrameCodec::frame(std::array{status}), delay(statusExchange(command), {}, start, start)}});
}

void SimBoard::send(std::vector<uint8_t> bytes, std::chrono::microseconds busy)
{
    m_replies.push_back(SimReply{m_taken, busy, std::move(bytes)});
}

void SimBoard::note(const std::string& text) const
{
    if (m_log) {
        m_log(text);
    }
}
