// quenwick-sim: a simulated target board on a pseudo-terminal.
#include "SimBoard.h"
#include "SimOptions.h"
#include "SimPseudoTerminal.h"
#include "SimRunner.h"

#include <atomic>
#include <csignal>
#include <exception>
#include <fstream>
#include <iostream>

namespace {

std::atomic<bool> g_stop{false};

extern "C" void onSignal(int) { g_stop = true; }

int fail(const std::string& message, int status)
{
    std::cerr << "quenwick-sim: " << message << "\n";
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    if (const std::string error = options.parse(std::vector<std::string>(argv + 1, argv + argc)); !error.empty()) {
        return fail(error + "\nTry 'quenwick-sim --help'.", 2);
    }
    if (options.help) {
        std::cout << SimOptions::usage();
        return 0;
    }
    if (options.version) {
        std::cout << "quenwick-sim " QUENWICK_VERSION "\n";
        return 0;
    }

    SimBoard board(options);
    std::string error;
    if (options.flashIn && !board.codeFlash().load(*options.flashIn, error)) {
        return fail("--flash-in: " + error, 2);
    }
    if (options.dataFlashIn && !board.dataFlash().load(*options.dataFlashIn, error)) {
        return fail("--data-flash-in: " + error, 2);
    }
    std::ofstream logFile;
    if (options.log) {
        logFile.open(*options.log);
        if (!logFile) {
            return fail("--log: cannot write " + *options.log, 2);
        }
    }

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    try {
        SimPseudoTerminal terminal;
        if (options.link) {
            terminal.makeLink(*options.link);
        }
        std::cout << terminal.devicePath() << std::endl;
        SimRunner runner(board, terminal, options.lineRate, std::chrono::milliseconds(options.adapterLatencyMs),
                         options.log ? &logFile : nullptr);
        runner.run(g_stop);
    } catch (const std::exception& exception) {
        return fail(exception.what(), 1);
    }
    // The device is gone by now: a host sees the hang-up before the files are written.
    if (options.flashOut && !board.codeFlash().save(*options.flashOut, error)) {
        return fail("--flash-out: " + error, 1);
    }
    if (options.dataFlashOut && !board.dataFlash().save(*options.dataFlashOut, error)) {
        return fail("--data-flash-out: " + error, 1);
    }
    return 0;
}
