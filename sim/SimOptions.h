// The simulated board's command line.
#pragma once

#include "SimFaults.h"
#include "SimTimeouts.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SimOptions {
    uint32_t codeFlashEnd = 0x03FFFF;
    uint32_t dataFlashSize = 4096;          // from 0xF1000; 0: no data flash
    std::string deviceName = "SIMBOARD  ";  // always 10 characters, padded with spaces
    std::optional<std::string> flashIn;
    std::optional<std::string> flashOut;
    std::optional<std::string> dataFlashIn;
    std::optional<std::string> dataFlashOut;
    std::optional<std::string> link;
    std::optional<std::string> log;
    bool lineRate = false;
    uint32_t adapterLatencyMs = 0;          // 0: no adapter
    uint32_t eraseMs = 0;                   // per block erase
    uint32_t programMs = 0;                 // per data frame programmed
    std::optional<double> answerAt;         // share of the time the host allows for each answer
    std::optional<SimExchange> answerOnly;  // the one exchange answerAt applies to
    SimFaults faults;
    bool help = false;
    bool version = false;

    // Reads the arguments that follow the program name. Returns an empty
    // string, or a message that says what is wrong.
    std::string parse(const std::vector<std::string>& arguments);
    static std::string usage();
};
