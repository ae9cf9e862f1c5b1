#include "SimFaults.h"

#include "SimNumber.h"

#include <array>
#include <charconv>

namespace {

struct CommandName {
    std::string_view name;
    SimCommand command;
};

constexpr std::array<CommandName, 8> COMMAND_NAMES{{
    {"baud", SimCommand::Baud},
    {"reset", SimCommand::Reset},
    {"signature", SimCommand::Signature},
    {"blank", SimCommand::Blank},
    {"erase", SimCommand::Erase},
    {"program", SimCommand::Program},
    {"checksum", SimCommand::Checksum},
    {"data", SimCommand::Data},
}};

std::vector<std::string_view> split(std::string_view text)
{
    std::vector<std::string_view> fields;
    for (std::size_t colon; (colon = text.find(':')) != std::string_view::npos; text.remove_prefix(colon + 1)) {
        fields.push_back(text.substr(0, colon));
    }
    fields.push_back(text);
    return fields;
}

// Bytes are hex digits, as the board's frames are shown everywhere (1B,
// FF00); a 0x in front is allowed.
std::optional<std::vector<uint8_t>> parseHexBytes(std::string_view text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() % 2 != 0 || text.size() > 64) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        uint8_t byte = 0;
        const auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
        if (error != std::errc{} || end != text.data() + i + 2) {
            return std::nullopt;
        }
        bytes.push_back(byte);
    }
    return bytes;
}

}  // namespace

const char* SimFaults::help()
{
    return "Faults (--fault, repeatable; CMD is baud, reset, signature, blank, erase,\n"
           "program, checksum or data; N, where allowed, limits a fault to its next N\n"
           "occasions, without it the fault strikes every time; BYTE and HEX are hex\n"
           "digits as in the log (1B, FF00), K, N and ADDR numbers like any other):\n"
           "  silent:CMD[:N]        lose frames of CMD: no answer, nothing done\n"
           "  status:CMD:BYTE[:N]   answer CMD with status BYTE instead of doing it\n"
           "  stray:CMD:HEX[:N]     send the bytes HEX (e.g. FF00) before the answer to CMD\n"
           "  bad-sum:CMD[:N]       send the last frame of the answer to CMD with a wrong sum\n"
           "  drop-data:K[:N]       lose data frame K (from 1) of a programming transfer\n"
           "  lose-completion[:N]   lose the completion status after the last data frame\n"
           "  double-status[:N]     answer data frames with two status bytes (06 06)\n"
           "  long-baud[:N]         answer Baud Rate Set with the 7-byte status frame\n"
           "  late:CMD:K:MS         send the K-th answer (from 1) to CMD MS milliseconds later\n"
           "                        than it would go (data: the answer to the K-th data frame)\n"
           "  late-spare:CMD[:N]    send the answer to CMD once more as the host's next frame\n"
           "                        comes, before anything else\n"
           "  flip:ADDR[:N]         corrupt the byte at ADDR after programming over it\n"
           "  from-entry:K          answer only the K-th of the mode entries in a row (after an\n"
           "                        answered one, counting starts again: a board that\n"
           "                        enters programming mode only with the other DTR polarity)\n"
           "  unplug:K              pull the cable as the K-th frame (from 1, commands and data\n"
           "                        frames alike) comes: that frame is lost, the device hangs\n"
           "                        up as a USB serial adapter pulled out, and quenwick-sim\n"
           "                        ends as on SIGTERM (writing --flash-out and --data-flash-out)\n";
}

std::string SimFaults::add(std::string_view description)
{
    // Argument letters: c command name, b byte, x hex bytes, k count from 1, a
    // address, m milliseconds.
    struct Syntax {
        std::string_view name;
        Kind kind;
        std::string_view arguments;
        bool counted;
        std::string_view usage;
    };
    static constexpr std::array<Syntax, 13> syntaxes{{
        {"silent", Kind::Silent, "c", true, "silent:CMD[:N]"},
        {"status", Kind::Status, "cb", true, "status:CMD:BYTE[:N]"},
        {"stray", Kind::Stray, "cx", true, "stray:CMD:HEX[:N]"},
        {"bad-sum", Kind::BadSum, "c", true, "bad-sum:CMD[:N]"},
        {"drop-data", Kind::DropData, "k", true, "drop-data:K[:N]"},
        {"lose-completion", Kind::LoseCompletion, "", true, "lose-completion[:N]"},
        {"double-status", Kind::DoubleStatus, "", true, "double-status[:N]"},
        {"long-baud", Kind::LongBaud, "", true, "long-baud[:N]"},
        {"late", Kind::Late, "ckm", false, "late:CMD:K:MS"},
        {"late-spare", Kind::LateSpare, "c", true, "late-spare:CMD[:N]"},
        {"flip", Kind::Flip, "a", true, "flip:ADDR[:N]"},
        {"from-entry", Kind::FromEntry, "k", false, "from-entry:K"},
        {"unplug", Kind::Unplug, "k", false, "unplug:K"},
    }};

    const std::vector<std::string_view> fields = split(description);
    const Syntax* syntax = nullptr;
    for (const Syntax& candidate : syntaxes) {
        if (candidate.name == fields[0]) {
            syntax = &candidate;
        }
    }
    if (syntax == nullptr) {
        return "unknown fault '" + std::string(fields[0]) + "'";
    }
    const std::string expected = " (expected " + std::string(syntax->usage) + ")";
    const std::size_t needed = 1 + syntax->arguments.size();
    if (fields.size() != needed && !(syntax->counted && fields.size() == needed + 1)) {
        return "wrong number of fields in '" + std::string(description) + "'" + expected;
    }

    Fault fault;
    fault.kind = syntax->kind;
    for (std::size_t i = 0; i < syntax->arguments.size(); ++i) {
        const std::string_view field = fields[i + 1];
        const std::optional<uint32_t> number = parseSimNumber(field);
        const std::string bad =
            "bad field '" + std::string(field) + "' in '" + std::string(description) + "'" + expected;
        switch (syntax->arguments[i]) {
        case 'c': {
            bool found = false;
            for (const CommandName& name : COMMAND_NAMES) {
                if (name.name == field) {
                    fault.command = name.command;
                    found = true;
                }
            }
            if (!found) {
                return bad + "; CMD is one of baud, reset, signature, blank, erase, program, checksum, data";
            }
            break;
        }
        case 'b':
        case 'x': {
            const auto bytes = parseHexBytes(field);
            if (!bytes || (syntax->arguments[i] == 'b' && bytes->size() != 1)) {
                return bad + "; BYTE is two hex digits, HEX 1 to 32 bytes of them";
            }
            fault.value = bytes->front();
            fault.bytes = *bytes;
            break;
        }
        case 'k':
            if (!number || *number == 0) {
                return bad;
            }
            fault.value = *number;
            break;
        case 'm':
            if (!number || *number > 600000) {
                return bad;
            }
            fault.milliseconds = *number;
            break;
        default:  // 'a'
            if (!number || *number > 0xFFFFFF) {
                return bad;
            }
            fault.value = *number;
            break;
        }
    }
    if (fields.size() == needed + 1) {
        const std::optional<uint32_t> count = parseSimNumber(fields.back());
        if (!count || *count == 0) {
            return "bad count '" + std::string(fields.back()) + "' in '" + std::string(description) + "'" + expected;
        }
        fault.remaining = count;
    }
    m_faults.push_back(fault);
    return {};
}

bool SimFaults::strike(Fault& fault)
{
    if (fault.remaining) {
        if (*fault.remaining == 0) {
            return false;
        }
        --*fault.remaining;
    }
    return true;
}

template <typename Match>
const SimFaults::Fault* SimFaults::take(Kind kind, Match match)
{
    for (Fault& fault : m_faults) {
        if (fault.kind == kind && match(fault) && strike(fault)) {
            return &fault;
        }
    }
    return nullptr;
}

const SimFaults::Fault* SimFaults::take(Kind kind, SimCommand command)
{
    return take(kind, [command](const Fault& fault) { return fault.command == command; });
}

bool SimFaults::takeSilent(SimCommand command) { return take(Kind::Silent, command) != nullptr; }

std::optional<uint8_t> SimFaults::takeStatus(SimCommand command)
{
    const Fault* fault = take(Kind::Status, command);
    return fault ? std::optional<uint8_t>(static_cast<uint8_t>(fault->value)) : std::nullopt;
}

std::vector<uint8_t> SimFaults::takeStray(SimCommand command)
{
    const Fault* fault = take(Kind::Stray, command);
    return fault ? fault->bytes : std::vector<uint8_t>{};
}

bool SimFaults::takeBadSum(SimCommand command) { return take(Kind::BadSum, command) != nullptr; }

bool SimFaults::takeNumbered(Kind kind, uint32_t number)
{
    return take(kind, [number](const Fault& fault) { return fault.value == number; }) != nullptr;
}

bool SimFaults::takeDropData(uint32_t frameNumber) { return takeNumbered(Kind::DropData, frameNumber); }

bool SimFaults::takeLoseCompletion()
{
    return take(Kind::LoseCompletion, [](const Fault&) { return true; }) != nullptr;
}

bool SimFaults::takeDoubleStatus()
{
    return take(Kind::DoubleStatus, [](const Fault&) { return true; }) != nullptr;
}

bool SimFaults::takeLongBaud()
{
    return take(Kind::LongBaud, [](const Fault&) { return true; }) != nullptr;
}

uint32_t SimFaults::takeLate(SimCommand command, uint32_t answerNumber)
{
    const Fault* fault =
        take(Kind::Late, [&](const Fault& late) { return late.command == command && late.value == answerNumber; });
    return fault ? fault->milliseconds : 0;
}

bool SimFaults::takeLateSpare(SimCommand command) { return take(Kind::LateSpare, command) != nullptr; }

std::vector<uint32_t> SimFaults::takeFlips(uint32_t start, uint32_t end)
{
    std::vector<uint32_t> addresses;
    for (Fault& fault : m_faults) {
        if (fault.kind == Kind::Flip && fault.value >= start && fault.value <= end && strike(fault)) {
            addresses.push_back(fault.value);
        }
    }
    return addresses;
}

uint32_t SimFaults::answeredEntry() const
{
    uint32_t first = 1;
    for (const Fault& fault : m_faults) {
        if (fault.kind == Kind::FromEntry) {
            first = fault.value;
        }
    }
    return first;
}

bool SimFaults::takeUnplug(uint32_t frameNumber) { return takeNumbered(Kind::Unplug, frameNumber); }
