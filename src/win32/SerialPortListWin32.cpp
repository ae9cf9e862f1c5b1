// Windows: the COM ports the system has, each with the device it names.
#include <windows.h>

#include "SerialPortList.h"

std::vector<std::string> SerialPortList::ofThisSystem() {
    std::vector<std::string> lines;
    for (int i = 1; i <= 256; ++i) {
        const std::string name = "COM" + std::to_string(i);
        char target[1024];
        if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) {
            lines.push_back(name + " (" + target + ")");
        }
    }
    return lines;
}
