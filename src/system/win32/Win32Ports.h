// The COM ports as Windows tells of them: the USB devices that name a port,
// from the registry (the FT232-type adapters on their driver's bus FTDIBUS,
// the others on the USB bus), with what each driver keeps under its Device
// Parameters; the port list and the advice on latency are made of these
// (Win32Ports.cpp). Read only: nothing here writes the registry, needs
// elevation or restarts a device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Win32Ports {

struct UsbPort {
    std::string strPort;                   // "COM5", as its driver names it
    std::string strVendor;                 // the USB vendor ID in hex: "0403"
    std::string strProduct;                // the USB product ID in hex: "6001"
    std::string strSerial;                 // the serial number; "" when the system has none
    std::string strName;                   // the device's name: "USB Serial Port (COM5)"; "" when none
    std::optional<uint64_t> latencyTimer;  // milliseconds, for an FT232-type adapter

    // Whether this is the port pszPort ("COM5", "\\.\COM5", in any letter case).
    bool names(const char* pszPort) const;
};

// Each USB device whose driver names a COM port, the strings as UTF-8.
std::vector<UsbPort> usbPorts();

// The device whose driver names the port pszPort, if there is one.
std::optional<UsbPort> usbPort(const char* pszPort);

}  // namespace Win32Ports
