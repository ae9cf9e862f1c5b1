#include "SimOptions.h"

#include "SimFlash.h"
#include "SimNumber.h"

#include <cstdlib>
#include <functional>
#include <string_view>

namespace {

// The code flash lies below 0xF0000; the data flash runs from 0xF1000 at most
// to the last address a frame can carry.
constexpr uint32_t CODE_FLASH_LIMIT = 0xF0000;
constexpr uint32_t MAX_DATA_FLASH_SIZE = 0x1000000 - SimFlash::DATA_FLASH_START;

}  // namespace

std::string SimOptions::usage()
{
    return std::string(
               "Usage: quenwick-sim [options]\n"
               "Plays a target board on a new pseudo-terminal. Prints the device path as the\n"
               "first line, then serves hosts until SIGINT or SIGTERM (or a pulled cable, below).\n"
               "\n"
               "  --link PATH             also make a symbolic link PATH to the device\n"
               "  --code-flash-end ADDR   last code flash address, below 0xF0000 (default 0x03FFFF)\n"
               "  --data-flash-size N     bytes of data flash from 0xF1000, whole 1024-byte blocks\n"
               "                          (default 4096, 0: none)\n"
               "  --device-name TEXT      device name reported, up to 10 characters\n"
               "  --flash-in FILE         initial code flash content (default all 0xFF)\n"
               "  --flash-out FILE        write the code flash to FILE at exit\n"
               "  --data-flash-in FILE    initial data flash content (default all 0xFF)\n"
               "  --data-flash-out FILE   write the data flash to FILE at exit\n"
               "  --log FILE              log every frame, mode entry and the stop with a timestamp\n"
               "  --line-rate             carry bytes no faster than the line speed allows\n"
               "  --adapter-latency MS    pass the board's bytes on as a USB serial adapter does:\n"
               "                          when 62 are waiting, else at the next tick of a timer\n"
               "                          of MS milliseconds, up to 255 (default 0: no adapter)\n"
               "  --erase-ms N            time one block erase takes, in either flash (default 0)\n"
               "  --program-ms N          time programming one data frame takes (default 0)\n"
               "  --answer-at F           answer each exchange at share F (e.g. 0.9, 1.1 or 3) of the\n"
               "                          time the host allows for it at 32 MHz, full speed (in the\n"
               "                          data flash, the data flash's), from the end of the host's\n"
               "                          frame (or of the board's answer that it follows); instead\n"
               "                          of --erase-ms and --program-ms\n"
               "  --answer-only EXCHANGE  apply --answer-at to one exchange only: baud, reset,\n"
               "                          signature, blank, erase, program or checksum (the status\n"
               "                          of the command frame), signature-data or checksum-data\n"
               "                          (the data frame after that status), data (the status of\n"
               "                          each data frame), completion (the status after the last)\n"
               "  --fault SPEC            add a fault (repeatable, see below)\n"
               "  --help                  print this text\n"
               "  --version               print the version\n"
               "Numbers are decimal or hex with 0x; bytes are hex, with or without 0x.\n"
               "\n"
               "The board enters programming mode on a 0x00 byte where a frame would begin,\n"
               "sent at 115200 baud 8N2, and then takes Baud Rate Set first. It understands\n"
               "the host only at the agreed speed with 8N2. Status bytes: 06 done, 1B block\n"
               "not blank, 04 unknown command, 05 bad parameter or address. Frames that fail\n"
               "their sum or form check get no answer.\n"
               "\n") +
           SimFaults::help();
}

std::string SimOptions::parse(const std::vector<std::string>& arguments)
{
    using Setter = std::function<std::string(const std::string&)>;
    const auto number = [](uint32_t& target, uint32_t maximum) {
        return Setter([&target, maximum](const std::string& text) {
            const std::optional<uint32_t> value = parseSimNumber(text);
            if (!value || *value > maximum) {
                return "bad number '" + text + "'";
            }
            target = *value;
            return std::string();
        });
    };
    const auto text = [](std::optional<std::string>& target) {
        return Setter([&target](const std::string& value) {
            target = value;
            return std::string();
        });
    };
    const std::vector<std::pair<std::string_view, Setter>> valued{
        {"--link", text(link)},
        {"--code-flash-end", number(codeFlashEnd, 0xFFFFFF)},
        {"--data-flash-size", number(dataFlashSize, MAX_DATA_FLASH_SIZE)},
        {"--device-name",
         [this](const std::string& value) {
             if (value.size() > 10) {
                 return "device name '" + value + "' is longer than 10 characters";
             }
             deviceName = value + std::string(10 - value.size(), ' ');
             return std::string();
         }},
        {"--flash-in", text(flashIn)},
        {"--flash-out", text(flashOut)},
        {"--data-flash-in", text(dataFlashIn)},
        {"--data-flash-out", text(dataFlashOut)},
        {"--log", text(log)},
        {"--adapter-latency", number(adapterLatencyMs, 255)},
        {"--erase-ms", number(eraseMs, 600000)},
        {"--program-ms", number(programMs, 600000)},
        {"--fault", [this](const std::string& value) { return faults.add(value); }},
        {"--answer-at",
         [this](const std::string& value) {
             // strtod also reads a sign, leading space, hex, infinity and NaN:
             // a share begins with a digit or a point and has no x. The board
             // sets no locale, so the point is '.'.
             const bool decimal =
                 value.find_first_of("0123456789.") == 0 && value.find_first_of("xX") == std::string::npos;
             char* end = nullptr;
             const double share = decimal ? std::strtod(value.c_str(), &end) : 0;
             if (end != value.c_str() + value.size() || !(share > 0) || share > 10) {
                 return "bad share '" + value + "' (a number above 0, at most 10)";
             }
             answerAt = share;
             return std::string();
         }},
        {"--answer-only",
         [this](const std::string& value) {
             answerOnly = SimTimeouts::parse(value);
             return answerOnly ? std::string() : "unknown exchange '" + value + "'; one of " + SimTimeouts::names();
         }},
    };

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> value;
        if (const std::size_t equals = name.find('='); name.starts_with("--") && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if ((name == "--help" || name == "--version" || name == "--line-rate") && !value) {
            (name == "--help" ? help : name == "--version" ? version : lineRate) = true;
            continue;
        }
        const Setter* setter = nullptr;
        for (const auto& [optionName, optionSetter] : valued) {
            if (optionName == name) {
                setter = &optionSetter;
            }
        }
        if (setter == nullptr) {
            return "unknown option '" + arguments[i] + "'";
        }
        if (!value) {
            if (i + 1 == arguments.size()) {
                return "option " + name + " needs a value";
            }
            value = arguments[++i];
        }
        if (std::string error = (*setter)(*value); !error.empty()) {
            return name + ": " + error;
        }
    }
    if (answerOnly && !answerAt) {
        return "--answer-only needs --answer-at";
    }
    if ((codeFlashEnd + 1) % SimFlash::BLOCK_SIZE != 0 || codeFlashEnd >= CODE_FLASH_LIMIT) {
        return "--code-flash-end: the code flash must be whole 1024-byte blocks (end 0x...3FF, 0x...7FF, 0x...BFF or "
               "0x...FFF) below 0xF0000";
    }
    if (dataFlashSize % SimFlash::BLOCK_SIZE != 0) {
        return "--data-flash-size: the data flash must be whole 1024-byte blocks";
    }
    return {};
}
