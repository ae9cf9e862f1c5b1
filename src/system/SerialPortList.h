// The serial devices that Linux's sysfs shows, one line each, and how every
// system's list makes what a device tells of itself printable.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

class SerialPortList {
public:
    // The text as one line that a terminal shows as it is: a byte that is a
    // control character (C0, DEL, or C1 encoded in UTF-8), a backslash, or no
    // part of valid UTF-8 is written \xNN.
    static std::string printable(const std::string& strText);

    // The devices that Linux's sysfs under `root` shows as hardware terminals
    // (sys/class/tty/*/device), without the UARTs that serial_core probed and
    // found missing (type 0). A USB device gets its vendor and product
    // numbers, the manufacturer, product and serial strings where it has them,
    // and its path under dev/serial/by-id where there is one:
    //   /dev/ttyUSB0 (USB 0403:6001, FTDI, FT232R USB UART, serial A10K3Z, /dev/serial/by-id/usb-FTDI_...)
    //   /dev/ttyS0
    // The paths are those of the system whose root is `root`.
    static std::vector<std::string> fromSysfs(const std::filesystem::path& root);

    // Whether a comes before b in natural order, in which a run of digits
    // counts as its number: /dev/ttyUSB2 before /dev/ttyUSB10.
    static bool naturalLess(const std::string& a, const std::string& b);
};
