#include "CommandLine.h"

#include <getopt.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "NSWaitingTimeCalculator.h"

namespace {

// The modes other than the write: the operands each needs, and what it does:
// a job of its kind, or (for --list-ports) no job, its kind then unused.
// getopt_long reports each as MODE_VALUE and its index, past any character,
// so that no short option has one; --verify-blocks as VERIFY_BLOCKS_VALUE.
struct Mode {
    const char* pszOption;
    const char* pszOperands;
    size_t operandCount;
    bool fMoreIgnored;  // further operands are ignored, as for a write, rather than refused
    CommandLine::Action action;
    JobKind job;
    int iValue = no_argument;  // optional_argument: --erase=FLASHES
};
constexpr Mode MODES[] = {
    {"--info", "<ComPortName>", 1, false, CommandLine::ACTION_RUN, JOB_INFO},
    {"--verify", "<WriteFilePath> <ComPortName> <BoardName>", 3, true, CommandLine::ACTION_RUN, JOB_VERIFY},
    {"--erase", "<ComPortName>", 1, false, CommandLine::ACTION_RUN, JOB_ERASE, optional_argument},
    {"--list-ports", "", 0, false, CommandLine::ACTION_LIST_PORTS, JOB_WRITE},
    {"--check", "<WriteFilePath>", 1, false, CommandLine::ACTION_CHECK, JOB_WRITE},
};
constexpr int MODE_VALUE = 0x100;
constexpr int VERIFY_BLOCKS_VALUE = 0x200;
constexpr int CODE_FLASH_END_VALUE = 0x201;
constexpr int DATA_FLASH_SIZE_VALUE = 0x202;
// A write's operands: an option after them is refused.
constexpr size_t WRITE_OPERANDS = 3;

// The values of --erase=FLASHES.
constexpr struct {
    const char* pszName;
    FlashSet flashes;
} FLASH_SETS[] = {{"code", FLASH_CODE}, {"data", FLASH_DATA}, {"all", FLASH_ALL}};

// Every long option: those of the short options, then the modes; ends with zeros.
const std::vector<option>& longOptions()
{
    static const std::vector<option> options = [] {
        std::vector<option> all = {
            {"help", no_argument, nullptr, 'h'},
            {"version", no_argument, nullptr, 'V'},
            {"baud", required_argument, nullptr, 'b'},
            {"verbose", no_argument, nullptr, 'v'},
            {"quiet", no_argument, nullptr, 'q'},
            {"verify-blocks", no_argument, nullptr, VERIFY_BLOCKS_VALUE},
            {"code-flash-end", required_argument, nullptr, CODE_FLASH_END_VALUE},
            {"data-flash-size", required_argument, nullptr, DATA_FLASH_SIZE_VALUE},
        };
        for (size_t i = 0; i < std::size(MODES); ++i) {
            all.push_back({MODES[i].pszOption + 2, MODES[i].iValue, nullptr, MODE_VALUE + static_cast<int>(i)});
        }
        all.push_back({nullptr, 0, nullptr, 0});
        return all;
    }();
    return options;
}

// The argument getopt_long refused: a whole long option as written, or the
// short option's letter. getopt_long reports in optopt the value of a long
// option given a value it takes none, 0 for an unknown long one, and the
// letter of an unknown short one.
std::string refusedOption(char* argv[], int iArgument, int iValue)
{
    const auto& options = longOptions();
    if (iValue == 0 ||
        std::any_of(options.begin(), options.end(), [iValue](const option& known) { return known.val == iValue; })) {
        return argv[iArgument];
    }
    return std::string("-") + static_cast<char>(iValue);
}

// Why the operands do not suit the mode: some are missing or, where the mode
// does not ignore them, there are more. Empty when they suit it.
std::string operandError(const Mode& mode, const std::vector<std::string>& operands)
{
    const std::string strOption = std::string("option '") + mode.pszOption + "' ";
    if (operands.size() < mode.operandCount) {
        return strOption + "needs " + mode.pszOperands;
    }
    if (operands.size() > mode.operandCount && !mode.fMoreIgnored) {
        return strOption + "takes " +
               (mode.operandCount == 0 ? std::string("no operand") : mode.pszOperands + std::string(" only")) +
               ", not '" + operands[mode.operandCount] + "'";
    }
    return "";
}

// The number strValue gives in decimal or, after 0x, in hex, when it is at
// most dwMost; none otherwise.
std::optional<uint64_t> numberOf(const std::string& strValue, uint64_t dwMost)
{
    const bool fHex = strValue.starts_with("0x") || strValue.starts_with("0X");
    const std::string strDigits = strValue.substr(fHex ? 2 : 0);
    if (strDigits.empty() || strDigits.size() > 8 ||
        strDigits.find_first_not_of(fHex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const uint64_t dwValue = std::stoull(strDigits, nullptr, fHex ? 16 : 10);
    return dwValue <= dwMost ? std::optional(dwValue) : std::nullopt;
}

}  // namespace

CommandLine::CommandLine(int argc, char* argv[], const char* pszBaud, const char* pszVerbose)
{
    std::optional<std::string> baudOption;
    bool fHelp = false;
    bool fVersion = false;
    const Mode* pMode = nullptr;
    std::vector<std::string> operands;
    bool fSizeGiven = false;
    optind = 0;  // a fresh scan, also when called again
    opterr = 0;  // the refusals are ours
    for (;;) {
        // "-": the operands come in order, as option 1, whatever POSIXLY_CORRECT says.
        const int iOption = getopt_long(argc, argv, "-:hVb:vq", longOptions().data(), nullptr);
        if (iOption == -1) {
            break;
        }
        if (iOption != 1 && iOption != ':' && iOption != '?' && operands.size() >= WRITE_OPERANDS) {
            refuse(std::string("option '") + argv[optind - 1] + "' follows the operands; options go before them");
            return;
        }
        switch (iOption) {
        case 1: operands.emplace_back(optarg); break;
        case 'h': fHelp = true; break;
        case 'V': fVersion = true; break;
        case 'b': baudOption = optarg; break;
        case 'v':
            m_fTraceFrames = m_Request.fVerbose;
            m_Request.fVerbose = true;
            break;
        case 'q': m_fQuiet = true; break;
        case VERIFY_BLOCKS_VALUE: m_Request.plan.fVerifyBlocks = true; break;
        case CODE_FLASH_END_VALUE:
        case DATA_FLASH_SIZE_VALUE:
            fSizeGiven = true;
            if (!takeFlashSize(iOption == CODE_FLASH_END_VALUE, optarg)) {
                return;
            }
            break;
        case ':':
            // A value missing; the BSD getopt_long (macOS, mingw-w64) also says so of a value given to a
            // long option that takes none, which is a bad option.
            refuse(optopt == 'b'
                       ? std::string("option '") + (std::strncmp(argv[optind - 1], "--", 2) == 0 ? "--baud" : "-b") +
                             "' needs a value"
                       : "bad option '" + refusedOption(argv, optind - 1, optopt) + "'");
            return;
        default:
            if (iOption < MODE_VALUE || iOption >= MODE_VALUE + static_cast<int>(std::size(MODES))) {
                refuse("bad option '" + refusedOption(argv, optind - 1, optopt) + "'");
                return;
            }
            const Mode* pGiven = &MODES[iOption - MODE_VALUE];
            if (pMode != nullptr) {
                refuse(pMode == pGiven ? std::string("option '") + pMode->pszOption + "' is given twice"
                                       : std::string("options '") + pMode->pszOption + "' and '" + pGiven->pszOption +
                                             "' exclude each other");
                return;
            }
            pMode = pGiven;
            if (optarg != nullptr && !takeFlashes(optarg)) {
                return;
            }
        }
    }
    if (m_fQuiet && m_Request.fVerbose) {
        refuse("options '--quiet' and '--verbose' exclude each other");
        return;
    }
    // --verify compares each block anyway; the other modes compare nothing.
    if (m_Request.plan.fVerifyBlocks && pMode != nullptr && pMode->job != JOB_VERIFY) {
        refuse(std::string("options '") + pMode->pszOption + "' and '--verify-blocks' exclude each other");
        return;
    }
    if (fSizeGiven && (pMode == nullptr || pMode->action != ACTION_CHECK)) {
        refuse("options '--code-flash-end' and '--data-flash-size' go with '--check' only");
        return;
    }
    operands.insert(operands.end(), argv + optind, argv + argc);
    if (baudOption && !takeBaudRate(*baudOption, "")) {
        return;
    }
    const std::string strOperandError = pMode != nullptr ? operandError(*pMode, operands) : "";
    if (fHelp) {
        m_EAction = ACTION_HELP;
    } else if (fVersion) {
        m_EAction = ACTION_VERSION;
    } else if (pMode == nullptr && operands.size() < 3) {
        m_EAction = ACTION_USAGE;
    } else if (!strOperandError.empty()) {
        refuse(strOperandError);
    } else {
        if (pMode != nullptr) {
            m_Request.plan.kind = pMode->job;
            m_EAction = pMode->action;
        }
        if (m_EAction == ACTION_CHECK) {
            m_Request.strImagePath = operands[0];
        }
        if (m_EAction != ACTION_RUN) {
            return;
        }
        // The image first where the job reads one, then the port; a board name and further operands are ignored.
        const size_t iPort = readsImage(m_Request.plan.kind) ? 1 : 0;
        m_Request.strImagePath = iPort == 1 ? operands[0] : "";
        m_Request.strPortName = operands[iPort];
        // A variable set but empty counts as unset.
        if (!baudOption && pszBaud != nullptr && *pszBaud != '\0' && !takeBaudRate(pszBaud, " in QUENWICK_BAUD")) {
            return;
        }
        if (!m_Request.fVerbose && !m_fQuiet && pszVerbose != nullptr && *pszVerbose != '\0') {
            takeVerbose(pszVerbose);
        }
    }
}

void CommandLine::refuse(std::string strError)
{
    m_EAction = ACTION_REFUSE;
    m_strError = std::move(strError);
}

// The code of a line speed given in bits per second, or a refusal.
bool CommandLine::takeBaudRate(const std::string& strRate, const char* pszWhere)
{
    for (size_t i = 0; i < std::size(NSWaitingTimeCalculator::LINE_SPEEDS); ++i) {
        if (strRate == std::to_string(NSWaitingTimeCalculator::LINE_SPEEDS[i])) {
            m_Request.bBaudRate = static_cast<uint8_t>(i);
            return true;
        }
    }
    refuse("bad line speed '" + strRate + "'" + pszWhere + " (115200, 250000, 500000 or 1000000)");
    return false;
}

// The flashes that --erase=FLASHES names, or a refusal.
bool CommandLine::takeFlashes(const std::string& strValue)
{
    for (const auto& set : FLASH_SETS) {
        if (strValue == set.pszName) {
            m_Request.plan.eraseFlashes = set.flashes;
            return true;
        }
    }
    refuse("bad value '" + strValue + "' for option '--erase' (code, data or all)");
    return false;
}

// The code flash's last address (--code-flash-end) or the data flash's size
// (--data-flash-size) as the memory map allows them, or a refusal.
bool CommandLine::takeFlashSize(bool codeFlash, const std::string& strValue)
{
    const std::optional<uint64_t> value =
        numberOf(strValue, codeFlash ? MemoryImage::CODE_FLASH_END - 1
                                     : MemoryImage::ADDRESS_END - MemoryImage::DATA_FLASH_START);
    if (!value) {
        refuse("bad value '" + strValue + "' for option '" +
               (codeFlash ? "--code-flash-end' (an address below 0xF0000)"
                          : "--data-flash-size' (bytes, at most 0xF0F000)"));
        return false;
    }
    (codeFlash ? m_dwCodeFlashSize : m_dwDataFlashSize) = *value + (codeFlash ? 1 : 0);
    return true;
}

// 1, yes, true, on or 0, no, false, off in any letter case, or a refusal.
void CommandLine::takeVerbose(const std::string& strValue)
{
    static constexpr const char* VALUES[] = {"0", "no", "false", "off", "1", "yes", "true", "on"};
    std::string strLower = strValue;
    std::transform(strLower.begin(), strLower.end(), strLower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    const auto found = std::find(std::begin(VALUES), std::end(VALUES), strLower);
    if (found == std::end(VALUES)) {
        refuse("bad value '" + strValue + "' in QUENWICK_VERBOSE (1, 0, yes, no, true, false, on or off)");
        return;
    }
    m_Request.fVerbose = found - std::begin(VALUES) >= 4;
}

const char* CommandLine::optionsText()
{
    return "Options (anywhere before --):\n"
           "  -b, --baud RATE  line speed after mode entry: 115200 (the default), 250000,\n"
           "                   500000 or 1000000\n"
           "  -v, --verbose    show each step, the progress and why a job failed, on stderr;\n"
           "                   -vv also every frame sent and received, in hexadecimal\n"
           "  -q, --quiet      where stderr is a terminal, show no status line (a job's\n"
           "                   phase, progress, rate and time left, cleared on success) nor\n"
           "                   the reason of a failure: only the failure text, as elsewhere\n"
           "  --verify-blocks  end a write comparing the board's checksum of each block\n"
           "                   written, not of each run: finds bytes in the wrong block\n"
           "  -h, --help       show this text\n"
           "  -V, --version    show the version\n"
           "Modes, instead of writing (one at a time; all but the last take -b, -q, -v):\n"
           "  --info <ComPortName>\n"
           "      enter programming mode and show the board's signature on stdout, one\n"
           "      'name: value' line each: device-name, device-code, code-flash-size,\n"
           "      data-flash-size, firmware-version\n"
           "  --verify <WriteFilePath> <ComPortName> <BoardName>\n"
           "      compare the board's 16-bit checksum of each block the image touches, in\n"
           "      either flash, with the image's, without erasing or writing: it finds\n"
           "      another image and blocks in the wrong place, but not every difference\n"
           "      (two bytes swapped within a block give the same sum)\n"
           "  --erase[=code|data|all] <ComPortName>\n"
           "      blank-check every block of the code flash (the default), the data flash\n"
           "      or both (all: those the board has) and erase those not blank\n"
           "  --list-ports\n"
           "      list the serial devices a board may be on, with what the system tells\n"
           "  --check [--code-flash-end ADDR] [--data-flash-size N] <WriteFilePath>\n"
           "      read the image as a write would, without a board: one line per run of\n"
           "      blocks with the checksum a board reports of it; with the flash sizes\n"
           "      (the code flash's last address, the data flash's bytes) check it against\n"
           "      them too\n"
           "Images, by the extension in any letter case:\n"
           "  .bin                           raw binary from address 0, 1 to 262144 bytes\n"
           "  .hex .ihex .ihx                Intel HEX\n"
           "  .mot .srec .s19 .s28 .s37 .sx  S-records\n"
           "  .elf .axf .abs .out            ELF: its allocated sections' bytes at their\n"
           "                                 load addresses, as objcopy -O ihex takes them\n"
           "  A .bin that is plainly ELF, HEX or S-records is refused; a file with another\n"
           "  extension or none is read as what its content plainly is.\n"
           "  Addresses below 0xF0000 are the code flash, from 0xF1000 the data flash. A\n"
           "  write blank-checks, erases where not blank, programs and compares the\n"
           "  1024-byte blocks the image gives bytes in, code flash first, and no other\n"
           "  block; the bytes of such a block that the image does not give are 0xFF.\n"
           "  A bad record or sum, a byte outside both flashes or two different bytes for\n"
           "  one address refuse the image (-v names the line or ELF field).\n"
           "  Such files come from objcopy (objcopy -O ihex firmware.elf firmware.hex, or\n"
           "  -O srec) and srec_cat, which joins and converts them (srec_cat code.bin\n"
           "  -binary data.bin -binary -offset 0xF1000 -o both.hex -intel).\n"
           "Environment: QUENWICK_BAUD=RATE acts as --baud; QUENWICK_VERBOSE=1 (or yes,\n"
           "true, on, in any letter case) as --verbose, and 0, no, false or off not;\n"
           "options win, and a variable set but empty counts as unset.\n"
           "Exit status: 0 when the image is written and verified (or the signature shown,\n"
           "the image found on the board, the flashes asked for blank, the ports listed),\n"
           "1 otherwise, also when standard output cannot be written.\n";
}
