// Quenwick [options] <WriteFilePath> <ComPortName> <BoardName>: writes a raw
// binary image into the target's code flash. Silent on success; on failure one
// fixed text on standard error and exit status 1. With --verbose the job's
// steps, its progress and the reason of a failure go to standard error first.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "CommandDriver.h"
#include "CommandLine.h"
#include "MainDispatchQueue.h"
#include "StopSignals.h"
#include "System.h"
#include "VerboseLog.h"

namespace {

// The job's result code: 1 until the job has reported.
uint64_t resultcode = 1;

constexpr char FAILURE_TEXT[] = "FAILED\nSketch writing was failed.";

void view_help() {
    std::puts("Usage: Quenwick <WriteFilePath> <ComPortName> <BoardName>");
    std::puts("Quenwick version1.0");
    std::puts("Flash programmer command for Tarsel ZQ-MAPLE/ZQ-WILLOW");
    std::puts("Examples:");
    std::puts("  Quenwick ./sketch.bin /dev/cu.usbserial-DJ004POF ZQ-WILLOW");
    std::puts("notice: write file format is sketch.bin only.");
}

// Runs the write job of one driver.
class LocalOperation {
public:
    explicit LocalOperation(std::shared_ptr<CommandDriver> driver) : cmdDriver(std::move(driver)) {}
    LocalOperation(const LocalOperation&) = delete;
    LocalOperation& operator=(const LocalOperation&) = delete;
    ~LocalOperation() { resultcode = cmdDriver->returnResult(); }

    void main() { resultcode = cmdDriver->pushWrite(); }

private:
    std::shared_ptr<CommandDriver> cmdDriver;
};

}  // namespace

int main(int argc, char* argv[]) {
    resultcode = 1;
    System::useBinaryStreams();
    const CommandLine commandLine(argc, argv, std::getenv("QUENWICK_BAUD"), std::getenv("QUENWICK_VERBOSE"));
    switch (commandLine.action()) {
    case CommandLine::ACTION_RUN: break;
    case CommandLine::ACTION_HELP:
        view_help();
        std::fputs(CommandLine::optionsText(), stdout);
        return 0;
    case CommandLine::ACTION_VERSION: std::puts("Quenwick " QUENWICK_VERSION); return 0;
    case CommandLine::ACTION_USAGE: view_help(); return 1;
    case CommandLine::ACTION_REFUSE:
        std::fprintf(stderr, "Quenwick: %s\nTry 'Quenwick --help'\n", commandLine.error().c_str());
        return 1;
    }

    std::optional<VerboseLog> verboseLog;
    if (commandLine.verbose()) {
        verboseLog.emplace(stderr, System::rewritesLines(stderr));
    }
    auto driver = std::make_shared<CommandDriver>();
    driver->setFileNameStirng(commandLine.operands()[0]);
    driver->setPortNameStirng(commandLine.operands()[1]);
    driver->setBoardNameStirng(commandLine.operands()[2]);
    driver->setBaudRate(commandLine.baudRate());
    driver->setVerboseLog(verboseLog ? &*verboseLog : nullptr);

    // The job runs off the main thread, which waits for its end; in verbose
    // mode it shows the job's log lines meanwhile, and the job's last task
    // ends that. The join is what makes resultcode safe to read afterwards.
    {
        // Ctrl-C, kill or a closed terminal stop the job in order; a second one ends it at once.
        StopSignals stopSignals([&driver] { driver->stop(); }, FAILURE_TEXT);
        LocalOperation operation(driver);
        std::thread worker([&operation, &verboseLog] {
            operation.main();
            if (verboseLog) {
                MainDispatchQueue::async(&MainDispatchQueue::quit);
            }
        });
        if (verboseLog) {
            MainDispatchQueue::run();
        }
        worker.join();
    }
    const _RESULTINFO resultInfo = driver->resultInfo();
    driver.reset();

    if (resultcode == 0) {
        return 0;
    }
    if (verboseLog) {
        verboseLog->addFailure(resultInfo);
    }
    std::fwrite(FAILURE_TEXT, sizeof FAILURE_TEXT - 1, 1, stderr);
    return 1;
}
