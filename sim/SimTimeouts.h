// The longest time a host waits for each of the board's answers, from the
// boot protocol's timing rules for a target at 32 MHz with its flash at full
// speed. The board keeps its own copy of the rules, written from the timing
// table and not shared with the program, so that a mistake in the program's
// copy shows against it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// An answer the host waits for, with the timeout that governs it: the status
// of each command frame, the data frame that follows the status of Silicon
// Signature and of Checksum, the status of each programming data frame and the
// completion status after the last one.
enum class SimExchange {
    Baud,
    Reset,
    Signature,
    SignatureData,
    Blank,
    Erase,
    Program,
    Data,
    Completion,
    Checksum,
    ChecksumData
};

class SimTimeouts {
public:
    // The exchange of that name (see names()), or none.
    static std::optional<SimExchange> parse(std::string_view name);
    // The names, separated by ", ".
    static std::string names();
    // Milliseconds the host allows for the answer. start and end (inclusive)
    // are the address range of the command (a transfer's, for its data frames
    // and completion status): a range from the data flash's start gets the
    // data flash's times for Block Erase, Block Blank Check, Programming and
    // Checksum, and the number of blocks sets the times of Block Blank Check,
    // the completion status and Checksum's data.
    static uint32_t allowed(SimExchange exchange, uint32_t start = 0, uint32_t end = 0);
};
