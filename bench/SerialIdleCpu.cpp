// Opens a port on a pseudo-terminal, keeps it open and idle for a number of
// seconds (10 unless given), and prints the processor time the process spent
// meanwhile: what the receive thread costs while nothing arrives.
#include "NSSerialPortProcessor.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

double cpuSeconds()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv)
{
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 10;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master == -1 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("posix_openpt");
        return 1;
    }
    NSSerialPortProcessor port;
    if (port.Open(ptsname(master), {.dwBaudRate = 115200, .bDataBits = 8, .bStopBits = 2}) != 0) {
        std::fputs("Open failed\n", stderr);
        return 1;
    }
    const double start = cpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    port.Close();
    const double cpu = cpuSeconds() - start;
    std::printf("open idle port: %.2f s CPU (user+sys) over %.2f s wall, %.0f%% of one core\n", cpu, wall,
                100.0 * cpu / wall);
    close(master);
    return 0;
}
