#include "CommandLine.h"

#include <getopt.h>

#include <cstring>
#include <iterator>
#include <optional>
#include <utility>

#include "NSSequenceProcessor.h"

namespace {

constexpr option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"baud", required_argument, nullptr, 'b'},
    {"verbose", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

// The argument getopt_long refused: a whole long option as written, or the
// short option's letter. getopt_long reports the option's letter in optopt for
// an unknown short option and for a long one given a value it takes none; 0
// for an unknown long one.
std::string refusedOption(char* argv[], int iArgument, int iLetter) {
    const char* pszArgument = argv[iArgument];
    const bool fLong = std::strncmp(pszArgument, "--", 2) == 0;
    if (fLong && (iLetter == 0 || std::strchr("hVv", iLetter) != nullptr)) {
        return pszArgument;
    }
    return std::string("-") + static_cast<char>(iLetter);
}

}  // namespace

CommandLine::CommandLine(int argc, char* argv[], const char* pszBaud, const char* pszVerbose) {
    std::optional<std::string> baudOption;
    bool fHelp = false;
    bool fVersion = false;
    optind = 0;  // a fresh scan, also when called again
    opterr = 0;  // the refusals are ours
    for (;;) {
        const int iOption = getopt_long(argc, argv, ":hVb:v", LONG_OPTIONS, nullptr);
        if (iOption == -1) {
            break;
        }
        switch (iOption) {
        case 'h': fHelp = true; break;
        case 'V': fVersion = true; break;
        case 'b': baudOption = optarg; break;
        case 'v': m_fVerbose = true; break;
        case ':':
            refuse(std::string("option '") + (std::strncmp(argv[optind - 1], "--", 2) == 0 ? "--baud" : "-b") +
                   "' needs a value");
            return;
        default: refuse("bad option '" + refusedOption(argv, optind - 1, optopt) + "'"); return;
        }
    }
    m_Operands.assign(argv + optind, argv + argc);
    if (baudOption && !takeBaudRate(*baudOption, "")) {
        return;
    }
    if (fHelp) {
        m_EAction = ACTION_HELP;
    } else if (fVersion) {
        m_EAction = ACTION_VERSION;
    } else if (m_Operands.size() < 3) {
        m_EAction = ACTION_USAGE;
    } else if (!baudOption && pszBaud != nullptr) {
        takeBaudRate(pszBaud, " in QUENWICK_BAUD");
    }
    if (!m_fVerbose && pszVerbose != nullptr) {
        m_fVerbose = std::strcmp(pszVerbose, "1") == 0;
    }
}

void CommandLine::refuse(std::string strError) {
    m_EAction = ACTION_REFUSE;
    m_strError = std::move(strError);
}

// The code of a line speed given in bits per second, or a refusal.
bool CommandLine::takeBaudRate(const std::string& strRate, const char* pszWhere) {
    for (size_t i = 0; i < std::size(NSSequenceProcessor::BAUD_RATES); ++i) {
        if (strRate == std::to_string(NSSequenceProcessor::BAUD_RATES[i])) {
            m_bBaudRate = static_cast<uint8_t>(i);
            return true;
        }
    }
    refuse("bad line speed '" + strRate + "'" + pszWhere + " (115200, 250000, 500000 or 1000000)");
    return false;
}

const char* CommandLine::optionsText() {
    return "Options (anywhere before --):\n"
           "  -b, --baud RATE  line speed after mode entry: 115200 (the default), 250000,\n"
           "                   500000 or 1000000\n"
           "  -v, --verbose    show each step, the progress and why a job failed, on stderr\n"
           "  -h, --help       show this text\n"
           "  -V, --version    show the version\n"
           "Environment: QUENWICK_BAUD=RATE acts as --baud and QUENWICK_VERBOSE=1 as\n"
           "--verbose; options win.\n"
           "Exit status: 0 when the image is written and verified, 1 otherwise.\n";
}
