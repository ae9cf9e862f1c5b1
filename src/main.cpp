// Quenwick <WriteFilePath> <ComPortName> <BoardName>: writes a raw binary
// image into the target's code flash. Silent on success; on failure one fixed
// text on standard error and exit status 1.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>
#include <utility>

#include "CommandDriver.h"

namespace {

// The job's result code: 1 until the job has reported.
uint64_t resultcode = 1;

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
    if (argc <= 3) {
        view_help();
        return 1;
    }

    auto driver = std::make_shared<CommandDriver>();
    driver->setFileNameStirng(CommandDriver::decodeArgument(argv[1]));
    driver->setPortNameStirng(CommandDriver::decodeArgument(argv[2]));
    driver->setBoardNameStirng(CommandDriver::decodeArgument(argv[3]));

    // The job runs off the main thread, which only waits for its end; the
    // join is what makes resultcode safe to read afterwards.
    {
        LocalOperation operation(driver);
        std::thread worker([&operation] { operation.main(); });
        worker.join();
    }
    driver.reset();

    if (resultcode == 0) {
        return 0;
    }
    static constexpr char FAILURE_TEXT[] = "FAILED\nSketch writing was failed.";
    std::fwrite(FAILURE_TEXT, sizeof FAILURE_TEXT - 1, 1, stderr);
    return 1;
}
