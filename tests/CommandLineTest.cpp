// The command line read in-process: what each list of arguments, with each
// environment, gives. The end-to-end suite keeps what needs the real program:
// the usage text's bytes, the form of a refusal, exit statuses and output that
// cannot be written.
#include "CommandLine.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <string>
#include <vector>

#include "NSWaitingTimeCalculator.h"

namespace {

// Sets or removes POSIXLY_CORRECT, which a POSIX getopt reads.
void posixlyCorrect(bool fOn)
{
#if defined(_WIN32)
    _putenv_s("POSIXLY_CORRECT", fOn ? "1" : "");
#else
    fOn ? ::setenv("POSIXLY_CORRECT", "1", 1) : ::unsetenv("POSIXLY_CORRECT");
#endif
}

// What the command line gives, in a word or two: for a job its kind, the
// flashes of an erase, "blocks" for --verify-blocks, the image where it reads
// one, the port, the line speed and "verbose"; for --check the image and the
// flash sizes.
std::string given(const CommandLine& line)
{
    const JobRequest& job = line.request();
    static const char* const KINDS[] = {"write", "verify", "info", "erase"};
    static const char* const ACTIONS[] = {"", "list ports", "check", "help", "version", "usage"};
    if (line.action() == CommandLine::ACTION_REFUSE) {
        return "refused: " + line.error();
    }
    if (line.action() == CommandLine::ACTION_CHECK) {
        return "check " + job.strImagePath + " " + std::to_string(line.codeFlashSize()) + " " +
               std::to_string(line.dataFlashSize());
    }
    if (line.action() != CommandLine::ACTION_RUN) {
        return ACTIONS[line.action()];
    }
    static const char* const FLASHES[] = {" code", " data", " all"};
    return std::string(KINDS[job.plan.kind]) + (job.plan.kind == JOB_ERASE ? FLASHES[job.plan.eraseFlashes] : "") +
           (job.plan.fVerifyBlocks ? " blocks" : "") + (readsImage(job.plan.kind) ? " " + job.strImagePath : "") + " " +
           job.strPortName + " " + std::to_string(NSWaitingTimeCalculator::LINE_SPEEDS[job.bBaudRate]) +
           (job.fVerbose ? " verbose" : "");
}

TEST(CommandLineTest, GivesAJobOrWhatElseToDo)
{
    const std::string speeds = " (115200, 250000, 500000 or 1000000)";
    const struct {
        std::vector<std::string> args;
        const char* baud = nullptr;     // QUENWICK_BAUD
        const char* verbose = nullptr;  // QUENWICK_VERBOSE
        std::string gives;
        bool posix = false;  // with POSIXLY_CORRECT set
    } rows[] = {
        // Laid out by hand, one row to a line: the formatter would give each field of a longer row a line.
        // clang-format off
        {.args = {"a.bin", "p", "b"}, .gives = "write a.bin p 115200"},
        {.args = {"a.bin", "p", "", "ignored"}, .baud = "", .verbose = "", .gives = "write a.bin p 115200"},
        {.args = {"sketch.bin"}, .gives = "usage"},
        {.args = {"-v", "sketch.bin", "/dev/null"}, .baud = "9600", .gives = "usage"},
        {.args = {"x.bin", "-h", "p", "b"}, .gives = "help"},
        {.args = {"-V"}, .baud = "9600", .gives = "version"},
        // Options anywhere before "--", the last speed winning; an option wins over the environment.
        {.args = {"-b", "250000", "a.bin", "p", "b"}, .baud = "9600", .gives = "write a.bin p 250000"},
        {.args = {"-b", "500000", "a", "p", "--baud=1000000", "--", "-v"}, .verbose = "Off",
         .gives = "write a p 1000000"},
        {.args = {"a.bin", "p", "b"}, .baud = "1000000", .verbose = "TRUE", .gives = "write a.bin p 1000000 verbose"},
        {.args = {"-v", "a.bin", "p", "b"}, .verbose = "maybe", .gives = "write a.bin p 115200 verbose"},
        {.args = {"-vx"}, .gives = "refused: bad option '-x'"},
        {.args = {"a.bin", "p", "b", "--bogus=1"}, .gives = "refused: bad option '--bogus=1'"},
        {.args = {"--verbose=yes", "a.bin", "p", "b"}, .gives = "refused: bad option '--verbose=yes'"},
        {.args = {"--verbose", "-xv", "a", "p", "b"}, .gives = "refused: bad option '-x'"},
        {.args = {"a.bin", "p", "b", "-b"}, .gives = "refused: option '-b' needs a value"},
        {.args = {"a.bin", "p", "b", "--baud"}, .gives = "refused: option '--baud' needs a value"},
        {.args = {"-b", "9600", "a.bin", "p", "b"}, .gives = "refused: bad line speed '9600'" + speeds},
        {.args = {"a", "p", "b"}, .baud = "1e6", .gives = "refused: bad line speed '1e6' in QUENWICK_BAUD" + speeds},
        {.args = {"a.bin", "p", "b"}, .verbose = "maybe",
         .gives = "refused: bad value 'maybe' in QUENWICK_VERBOSE (1, 0, yes, no, true, false, on or off)"},
        // The modes: one at a time, each with its operands; --verify-blocks with a write (or --verify, which compares
        // each block anyway); --erase with the flashes it erases.
        {.args = {"--info", "p"}, .gives = "info p 115200"},
        {.args = {"-b", "1000000", "-v", "--info", "p"}, .gives = "info p 1000000 verbose"},
        {.args = {"--erase", "p"}, .baud = "500000", .verbose = "on", .gives = "erase code p 500000 verbose"},
        {.args = {"--erase=data", "p"}, .gives = "erase data p 115200"},
        {.args = {"--erase=all", "--erase", "p"}, .gives = "refused: option '--erase' is given twice"},
        {.args = {"--erase=ram", "p"}, .gives = "refused: bad value 'ram' for option '--erase' (code, data or all)"},
        {.args = {"--verify-blocks", "a.bin", "p", "b"}, .gives = "write blocks a.bin p 115200"},
        {.args = {"--verify", "--verify-blocks", "a.bin", "p", "b"}, .gives = "verify blocks a.bin p 115200"},
        {.args = {"--verify-blocks", "--erase", "p"},
         .gives = "refused: options '--erase' and '--verify-blocks' exclude each other"},
        {.args = {"--verify", "a.bin", "p", "b", "more"}, .gives = "verify a.bin p 115200"},
        {.args = {"--list-ports"}, .baud = "9600", .gives = "list ports"},
        {.args = {"--info", "p", "--erase"}, .gives = "refused: options '--info' and '--erase' exclude each other"},
        {.args = {"--info"}, .baud = "1", .gives = "refused: option '--info' needs <ComPortName>"},
        {.args = {"--verify", "a.bin", "p"},
         .gives = "refused: option '--verify' needs <WriteFilePath> <ComPortName> <BoardName>"},
        {.args = {"--erase", "a", "p", "b"}, .gives = "refused: option '--erase' takes <ComPortName> only, not 'p'"},
        {.args = {"--list-ports", "p"}, .gives = "refused: option '--list-ports' takes no operand, not 'p'"},
        {.args = {"--info=p"}, .gives = "refused: bad option '--info=p'"},
        // No option after a write's operands, whatever POSIXLY_CORRECT says; other arguments there are ignored.
        {.args = {"a.bin", "-v", "p", "b", "-", "x"}, .gives = "write a.bin p 115200 verbose", .posix = true},
        {.args = {"a.bin", "p", "b", "--verify-blocks"},
         .gives = "refused: option '--verify-blocks' follows the operands; options go before them", .posix = true},
        {.args = {"a.bin", "p", "b", "x", "-v"}, .gives = "refused: option '-v' follows the operands; options go before them"},
        // --check: the image, and the flashes to check it against (all the memory map has, unless given).
        {.args = {"--check", "a.hex"}, .baud = "9600", .gives = "check a.hex 983040 15790080"},
        {.args = {"--code-flash-end", "0x3FFFF", "--check", "a", "--data-flash-size=4096"}, .gives = "check a 262144 4096"},
        {.args = {"--check", "--code-flash-end=0xF0000", "a"},
         .gives = "refused: bad value '0xF0000' for option '--code-flash-end' (an address below 0xF0000)"},
        {.args = {"--check", "--data-flash-size", "-1", "a"},
         .gives = "refused: bad value '-1' for option '--data-flash-size' (bytes, at most 0xF0F000)"},
        {.args = {"--data-flash-size=0", "a.bin", "p", "b"},
         .gives = "refused: options '--code-flash-end' and '--data-flash-size' go with '--check' only"},
        {.args = {"--check", "a.hex", "p"}, .gives = "refused: option '--check' takes <WriteFilePath> only, not 'p'"},
        // clang-format on
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), "Quenwick");
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posixlyCorrect(row.posix);
        const CommandLine line(static_cast<int>(args.size()), argv.data(), row.baud, row.verbose);
        posixlyCorrect(false);
        EXPECT_EQ(given(line), row.gives) << ::testing::PrintToString(row.args);
    }
}

}  // namespace
