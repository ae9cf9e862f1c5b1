// The faults a real board and cable show, switched on one by one from the
// command line (--fault KIND:ARGS[:N]). Each fault but from-entry, unplug and
// late takes an optional last field N: it then strikes the next N times its occasion comes
// and is spent; without N it strikes every time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a fault can be aimed at: the commands by name, and the data frames of
// a programming transfer ("data").
enum class SimCommand { Baud, Reset, Signature, Blank, Erase, Program, Checksum, Data };

class SimFaults {
public:
    // Adds the fault that the text describes (e.g. "silent:reset:2"). Returns
    // an empty string, or what is wrong with the text.
    std::string add(std::string_view description);
    static const char* help();

    // Each take... answers whether a fault strikes now and counts it down.
    bool takeSilent(SimCommand command);
    std::optional<uint8_t> takeStatus(SimCommand command);
    std::vector<uint8_t> takeStray(SimCommand command);
    bool takeBadSum(SimCommand command);
    bool takeDropData(uint32_t frameNumber);
    bool takeLoseCompletion();
    bool takeDoubleStatus();
    bool takeLongBaud();
    // The milliseconds by which the answerNumber-th answer (from 1) to command
    // is late; 0 when it is not.
    uint32_t takeLate(SimCommand command, uint32_t answerNumber);
    // True when the answer to command is to be sent once more as the host's
    // next frame comes.
    bool takeLateSpare(SimCommand command);
    // Addresses to corrupt after a programming transfer over start..end.
    std::vector<uint32_t> takeFlips(uint32_t start, uint32_t end);
    // K of from-entry:K (1 without it): the board ignores K - 1 mode entries
    // in a row and answers the K-th; after an answered entry it counts afresh.
    uint32_t answeredEntry() const;
    // True when an unplug fault pulls the cable as the board's frameNumber-th
    // frame (from 1) comes.
    bool takeUnplug(uint32_t frameNumber);

private:
    enum class Kind {
        Silent,
        Status,
        Stray,
        BadSum,
        DropData,
        LoseCompletion,
        DoubleStatus,
        LongBaud,
        Late,
        LateSpare,
        Flip,
        FromEntry,
        Unplug
    };
    struct Fault {
        Kind kind = Kind::Silent;
        SimCommand command = SimCommand::Reset;
        uint32_t value = 0;
        uint32_t milliseconds = 0;  // of a late answer
        std::vector<uint8_t> bytes;
        std::optional<uint32_t> remaining;  // absent: strikes every time
    };

    // Counts a fault down; false when it is spent.
    static bool strike(Fault& fault);
    // The first live fault of the kind that matches, counted down; or null.
    template <typename Match>
    const Fault* take(Kind kind, Match match);
    const Fault* take(Kind kind, SimCommand command);
    // Counts down the first live fault of the kind whose K is number; false when none.
    bool takeNumbered(Kind kind, uint32_t number);

    std::vector<Fault> m_faults;
};
