// Quenwick [options] <WriteFilePath> <ComPortName> <BoardName>: writes an
// image (a raw binary, Intel HEX, S-records or ELF) into the blocks it touches
// of the target's code and data flash. Silent on success; on failure one
// fixed text on standard error and exit status 1, or the end by the signal
// that stopped it. Where standard error is a terminal, a status line shows the
// job's progress meanwhile and the reason of a failure before the text. With
// --verbose the job's steps, its progress and the reason of a failure go to
// standard error first.
// The modes --info, --verify and --erase run other jobs on the board the same
// way, each with a failure text of its own; --list-ports lists serial devices.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "CommandDriver.h"
#include "CommandLine.h"
#include "MainDispatchQueue.h"
#include "NSTargetFile.h"
#include "ResultCodes.h"
#include "StopSignals.h"
#include "Platform.h"
#include "VerboseLog.h"

namespace {

// What a failed job of each kind says on standard error.
std::string_view failureText(JobKind job)
{
    switch (job) {
    case JOB_WRITE: break;
    case JOB_VERIFY: return "FAILED\nThe board could not be verified.\n";
    case JOB_INFO: return "FAILED\nThe board could not be read.\n";
    case JOB_ERASE: return "FAILED\nThe board could not be erased.\n";
    }
    return "FAILED\nSketch writing was failed.";
}
// What --help says after the usage text, which stays as IDEs read it.
constexpr const char* HELP_NOTE = "This is Quenwick " QUENWICK_VERSION
                                  ". The port is a serial device: /dev/ttyUSB0 on Linux,\n"
                                  "/dev/cu.usbserial-XXXX on macOS, COM5 on Windows. The image is a raw binary,\n"
                                  "Intel HEX, S-records or ELF (see Images below).\n";
// A verify that compared the checksums and found them different.
constexpr std::string_view MISMATCH_TEXT = "MISMATCH\nThe board does not hold this image.\n";

void view_help()
{
    std::puts("Usage: Quenwick <WriteFilePath> <ComPortName> <BoardName>");
    std::puts("Quenwick version1.0");
    std::puts("Flash programmer command for Tarsel ZQ-MAPLE/ZQ-WILLOW");
    std::puts("Examples:");
    std::puts("  Quenwick ./sketch.bin /dev/cu.usbserial-DJ004POF ZQ-WILLOW");
    std::puts("notice: write file format is sketch.bin only.");
}

// The signature as --info shows it: "name: value" lines of device-name,
// device-code, code-flash-size, data-flash-size and firmware-version.
std::string signatureLines(const DeviceSignature& signature)
{
    const auto size = [](uint64_t dwBytes) {
        char text[64];
        std::snprintf(text, sizeof text, "%llu bytes (%g KiB)", static_cast<unsigned long long>(dwBytes),
                      static_cast<double>(dwBytes) / 1024);
        return std::string(text);
    };
    return "device-name: " + signature.strName + "\ndevice-code: " + signature.strCode +
           "\ncode-flash-size: " + size(signature.dwCodeFlashSize) +
           "\ndata-flash-size: " + size(signature.dwDataFlashSize) + "\nfirmware-version: " + signature.strVersion +
           "\n";
}

// The exit status of a program that wrote to standard output: status when all
// of it was written, else 1 with the reason on standard error (a full device,
// a reader that went away, a closed output).
int outputWritten(int status)
{
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
        return status;
    }
    std::fprintf(stderr, "Quenwick: cannot write standard output: %s\n", std::strerror(errno));
    return 1;
}

// --check: reads the image as a write would, and checks it against flashes of
// the sizes given, without a board. Prints a line on stdout for each run of
// blocks, with the checksum a board reports of it once written; the reason on
// stderr when a write would refuse the image. The exit status.
int checkImage(const CommandLine& commandLine)
{
    NSTargetFile target;
    uint64_t r = target.ReadFile(commandLine.request().strImagePath);
    std::string strProblem = target.GetProblemText();
    if (r == RESULT_OK) {
        r = target.checkFits(commandLine.codeFlashSize(), commandLine.dataFlashSize(), &strProblem);
    }
    if (r != RESULT_OK) {
        std::fprintf(stderr, "image refused: %s\nerror 0x%04llX: %s\n", strProblem.c_str(),
                     static_cast<unsigned long long>(r), ResultCodes::of(r).pszMeaning);
        return 1;
    }
    if (const char* pszFormat = target.GetContentFormatName(); commandLine.request().fVerbose && pszFormat) {
        std::fprintf(stderr, "image read by its content as %s\n", pszFormat);
    }
    for (const bool codeFlash : {true, false}) {
        const uint8_t* pbImage = codeFlash ? target.GetProgramMemory() : target.GetDataFlash();
        const uint64_t dwStart = codeFlash ? 0 : MemoryImage::DATA_FLASH_START;
        for (const BlockRun& run : codeFlash ? target.GetProgramRuns() : target.GetDataRuns()) {
            const uint64_t dwBlocks = (run.dwLength + MemoryImage::BLOCK_SIZE - 1) / MemoryImage::BLOCK_SIZE;
            std::printf(
                "%s flash 0x%llX-0x%llX, %llu block%s, checksum %04X\n", codeFlash ? "code" : "data",
                static_cast<unsigned long long>(dwStart + run.dwOffset),
                static_cast<unsigned long long>(dwStart + run.dwOffset + dwBlocks * MemoryImage::BLOCK_SIZE - 1),
                static_cast<unsigned long long>(dwBlocks), dwBlocks == 1 ? "" : "s",
                MemoryImage::checksumOf(pbImage + run.dwOffset, run.dwLength));
        }
    }
    return outputWritten(0);
}

// Runs one job of one driver, which keeps its outcome.
class LocalOperation {
public:
    LocalOperation(std::shared_ptr<CommandDriver> driver, const JobRequest& request)
        : cmdDriver(std::move(driver)), m_Request(request)
    {
    }
    LocalOperation(const LocalOperation&) = delete;
    LocalOperation& operator=(const LocalOperation&) = delete;

    void main() { cmdDriver->pushJob(m_Request); }

private:
    std::shared_ptr<CommandDriver> cmdDriver;
    const JobRequest& m_Request;
};

}  // namespace

int main(int argc, char* argv[])
{
    if (!Platform::prepareStandardStreams()) {
        return 1;
    }
    const CommandLine commandLine(argc, argv, std::getenv("QUENWICK_BAUD"), std::getenv("QUENWICK_VERBOSE"));
    switch (commandLine.action()) {
    case CommandLine::ACTION_RUN: break;
    case CommandLine::ACTION_LIST_PORTS:
        for (const std::string& line : Platform::serialPorts()) {
            std::puts(line.c_str());
        }
        return outputWritten(0);
    case CommandLine::ACTION_CHECK: return checkImage(commandLine);
    case CommandLine::ACTION_HELP:
        view_help();
        std::fputs(HELP_NOTE, stdout);
        std::fputs(CommandLine::optionsText(), stdout);
        return outputWritten(0);
    case CommandLine::ACTION_VERSION: std::puts("Quenwick " QUENWICK_VERSION); return outputWritten(0);
    case CommandLine::ACTION_USAGE: view_help(); return outputWritten(1);
    case CommandLine::ACTION_REFUSE:
        std::fprintf(stderr, "Quenwick: %s\nTry 'Quenwick --help'\n", commandLine.error().c_str());
        return 1;
    }

    const JobRequest& request = commandLine.request();
    const JobKind job = request.plan.kind;
    // Nothing but the failure text where standard error is no terminal: IDEs read it.
    std::optional<VerboseLog> verboseLog;
    const bool fTerminal = Platform::rewritesLines(stderr);
    if (request.fVerbose) {
        verboseLog.emplace(stderr, fTerminal, commandLine.tracesFrames() ? VerboseLog::FRAMES : VerboseLog::STEPS);
    } else if (fTerminal && !commandLine.quiet()) {
        verboseLog.emplace(stderr, true, VerboseLog::STATUS_LINE);
    }
    auto driver = std::make_shared<CommandDriver>(verboseLog ? &*verboseLog : nullptr);

    // Ctrl-C, kill or a closed terminal stop the job in order; a second one ends it at once.
    StopSignals stopSignals([&driver](const char* pszCause) { driver->stop(pszCause); }, std::string(failureText(job)));
    // The job runs off the main thread, which waits for its end; where the job
    // is shown, it shows the job's events meanwhile, and the job's last task
    // ends that. The join is what makes the driver's result safe to read afterwards.
    {
        LocalOperation operation(driver, request);
        std::thread worker([&operation, &verboseLog, &stopSignals] {
            operation.main();
            stopSignals.jobEnded();
            if (verboseLog) {
                MainDispatchQueue::async(&MainDispatchQueue::quit);
            }
        });
        if (verboseLog) {
            MainDispatchQueue::run();
        }
        worker.join();
    }
    const uint64_t resultcode = driver->returnResult();
    const DeviceSignature signature = driver->signature();
    driver.reset();

    if (resultcode == 0) {
        if (job == JOB_INFO) {
            std::fputs(signatureLines(signature).c_str(), stdout);
        }
        return outputWritten(0);
    }
    const std::string_view text =
        job == JOB_VERIFY && ResultCodes::of(resultcode).fBoardDiffers ? MISMATCH_TEXT : failureText(job);
    std::fwrite(text.data(), text.size(), 1, stderr);
    stopSignals.endIfStopped();
    return 1;
}
