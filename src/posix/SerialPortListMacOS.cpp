// macOS: the call-out devices, /dev/cu.*, which open without waiting for a
// carrier.
#include <algorithm>
#include <system_error>

#include "SerialPortList.h"

std::vector<std::string> SerialPortList::ofThisSystem() {
    std::vector<std::string> lines;
    std::error_code ec;
    for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator("/dev", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("cu.")) {
            lines.push_back("/dev/" + name);
        }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}
