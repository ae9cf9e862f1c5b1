// Loads each image file given on the command line a number of times (the
// first argument) and prints, for each, the median wall time of one load in
// milliseconds: what reading and checking the image costs before a job opens
// its port.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "NSTargetFile.h"
#include "ResultCodes.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: ImageLoad TIMES FILE...\n");
        return 2;
    }
    const int times = std::max(1, std::atoi(argv[1]));
    for (int i = 2; i < argc; ++i) {
        std::vector<double> ms;
        for (int n = 0; n < times; ++n) {
            NSTargetFile file;
            const auto start = std::chrono::steady_clock::now();
            const uint64_t r = file.ReadFile(argv[i]);
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            if (r != RESULT_OK) {
                std::fprintf(stderr, "ImageLoad: %s: error 0x%04llX\n", argv[i], static_cast<unsigned long long>(r));
                return 1;
            }
        }
        std::nth_element(ms.begin(), ms.begin() + times / 2, ms.end());
        std::printf("%s %.3f\n", argv[i], ms[static_cast<size_t>(times / 2)]);
    }
    return 0;
}
