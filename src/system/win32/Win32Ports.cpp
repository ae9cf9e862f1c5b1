// The COM ports as Windows tells of them: the devices that QueryDosDevice
// names, and the USB devices among them from the registry's tree of devices,
// Enum\<bus>\<device>\<instance>, whose Device Parameters hold the port's
// name and, for an FT232-type adapter, its latency timer.
#include "Win32Ports.h"

#include "Platform.h"
#include "SerialPortList.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cwchar>
#include <cwctype>

namespace {

// Where the system keeps every device it has seen, and the buses looked at.
constexpr const wchar_t* DEVICES = L"SYSTEM\\CurrentControlSet\\Enum\\";
constexpr const wchar_t* FT232_BUS = L"FTDIBUS";
constexpr const wchar_t* USB_BUS = L"USB";

std::string utf8(const std::wstring& strText)
{
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()), nullptr, 0, nullptr, nullptr);
    std::string strBytes(static_cast<size_t>(std::max(size, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()), strBytes.data(), size, nullptr,
                        nullptr);
    return strBytes;
}

std::wstring lower(std::wstring strText)
{
    std::transform(strText.begin(), strText.end(), strText.begin(), [](wchar_t c) { return std::towlower(c); });
    return strText;
}

// A key of the registry opened for reading, closed with the object.
class Key {
public:
    Key(HKEY hParent, const std::wstring& strName)
    {
        if (RegOpenKeyExW(hParent, strName.c_str(), 0, KEY_READ, &m_hKey) != ERROR_SUCCESS) {
            m_hKey = nullptr;
        }
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key()
    {
        if (m_hKey != nullptr) {
            RegCloseKey(m_hKey);
        }
    }

    HKEY handle() const { return m_hKey; }

    // The names of its subkeys; none when it is not open.
    std::vector<std::wstring> subkeys() const
    {
        std::vector<std::wstring> names;
        wchar_t name[256];
        DWORD dwLength = 256;
        for (DWORD i = 0; m_hKey != nullptr && RegEnumKeyExW(m_hKey, i, name, &dwLength, nullptr, nullptr, nullptr,
                                                             nullptr) == ERROR_SUCCESS;
             ++i, dwLength = 256) {
            names.emplace_back(name, dwLength);
        }
        return names;
    }

    // A string value of at most 1023 characters; "" when there is none.
    std::wstring text(const wchar_t* pszValue) const
    {
        wchar_t value[1024];
        DWORD dwSize = sizeof value;
        if (m_hKey == nullptr ||
            RegGetValueW(m_hKey, nullptr, pszValue, RRF_RT_REG_SZ, nullptr, value, &dwSize) != ERROR_SUCCESS) {
            return L"";
        }
        return std::wstring(value, wcsnlen(value, dwSize / sizeof(wchar_t)));
    }

    std::optional<uint64_t> number(const wchar_t* pszValue) const
    {
        DWORD dwValue = 0;
        DWORD dwSize = sizeof dwValue;
        if (m_hKey == nullptr ||
            RegGetValueW(m_hKey, nullptr, pszValue, RRF_RT_REG_DWORD, nullptr, &dwValue, &dwSize) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        return dwValue;
    }

private:
    HKEY m_hKey = nullptr;
};

// The parts of a device's name between the separators: "VID_0403+PID_6001+A10K3ZA".
std::vector<std::wstring> parts(const std::wstring& strName, wchar_t separator)
{
    std::vector<std::wstring> found;
    for (size_t from = 0;;) {
        const size_t to = strName.find(separator, from);
        found.push_back(strName.substr(from, to - from));
        if (to == std::wstring::npos) {
            return found;
        }
        from = to + 1;
    }
}

// The ID that follows the prefix ("VID_") in the part; "" when it does not begin so.
std::string id(const std::wstring& strPart, const wchar_t* pszPrefix)
{
    const std::wstring strPrefix(pszPrefix);
    return lower(strPart.substr(0, strPrefix.size())) == lower(strPrefix)
               ? utf8(lower(strPart.substr(strPrefix.size())))
               : "";
}

// The device's name: its friendly name, else its description without the
// driver file's reference before the last ';'.
std::string name(const Key& instance)
{
    std::wstring strName = instance.text(L"FriendlyName");
    if (strName.empty()) {
        strName = instance.text(L"DeviceDesc");
        strName.erase(0, strName.rfind(L';') + 1);
    }
    return utf8(strName);
}

// The instances of the devices on the bus that name a port.
void readBus(const wchar_t* pszBus, std::vector<Win32Ports::UsbPort>* pPorts)
{
    const Key bus(HKEY_LOCAL_MACHINE, DEVICES + std::wstring(pszBus));
    const bool fFt232 = std::wstring(pszBus) == FT232_BUS;
    for (const std::wstring& strDevice : bus.subkeys()) {
        const Key device(bus.handle(), strDevice);
        const std::vector<std::wstring> ids = parts(strDevice, fFt232 ? L'+' : L'&');
        for (const std::wstring& strInstance : device.subkeys()) {
            const Key instance(device.handle(), strInstance);
            const Key parameters(instance.handle(), L"Device Parameters");
            const std::wstring strPort = parameters.text(L"PortName");
            if (strPort.empty() || ids.size() < 2) {
                continue;
            }
            // FTDIBUS: the serial number is the rest of the device's name. USB:
            // the instance's name, unless it has a '&', which makes it one the
            // system made up for a device without a serial number.
            const std::wstring strSerial =
                fFt232 ? (ids.size() > 2 ? strDevice.substr(ids[0].size() + ids[1].size() + 2) : L"")
                : strInstance.find(L'&') == std::wstring::npos ? strInstance
                                                               : L"";
            pPorts->push_back({.strPort = utf8(strPort),
                               .strVendor = id(ids[0], L"VID_"),
                               .strProduct = id(ids[1], L"PID_"),
                               .strSerial = utf8(strSerial),
                               .strName = name(instance),
                               .latencyTimer = fFt232 ? parameters.number(L"LatencyTimer") : std::nullopt});
        }
    }
}

}  // namespace

std::vector<Win32Ports::UsbPort> Win32Ports::usbPorts()
{
    std::vector<UsbPort> ports;
    readBus(FT232_BUS, &ports);
    readBus(USB_BUS, &ports);
    return ports;
}

bool Win32Ports::UsbPort::names(const char* pszPort) const
{
    std::string strName(pszPort);
    if (strName.starts_with("\\\\.\\")) {
        strName.erase(0, 4);
    }
    const auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    return std::equal(strPort.begin(), strPort.end(), strName.begin(), strName.end(), same);
}

std::optional<Win32Ports::UsbPort> Win32Ports::usbPort(const char* pszPort)
{
    for (const UsbPort& port : usbPorts()) {
        if (port.names(pszPort)) {
            return port;
        }
    }
    return std::nullopt;
}

// Each COM port the system has, with the device it names and, for a USB
// device, what the registry tells of it (its strings made printable):
//   COM5 (USB 0403:6001, USB Serial Port (COM5), serial A10K3ZA, latency timer 16 ms, \Device\VCP0)
std::vector<std::string> Platform::serialPorts()
{
    const std::vector<Win32Ports::UsbPort> usb = Win32Ports::usbPorts();
    std::vector<std::string> lines;
    for (int i = 1; i <= 256; ++i) {
        const std::string strName = "COM" + std::to_string(i);
        char target[1024];
        if (QueryDosDeviceA(strName.c_str(), target, sizeof target) == 0) {
            continue;
        }
        std::string strLine = strName + " (";
        for (const Win32Ports::UsbPort& port : usb) {
            if (port.names(strName.c_str())) {
                strLine += "USB " + SerialPortList::printable(port.strVendor) + ":" +
                           SerialPortList::printable(port.strProduct);
                if (!port.strName.empty()) {
                    strLine += ", " + SerialPortList::printable(port.strName);
                }
                if (!port.strSerial.empty()) {
                    strLine += ", serial " + SerialPortList::printable(port.strSerial);
                }
                if (port.latencyTimer) {
                    strLine += ", latency timer " + std::to_string(*port.latencyTimer) + " ms";
                }
                strLine += ", ";
                break;
            }
        }
        lines.push_back(strLine + target + ")");  // the system's own name of the device, as before
    }
    return lines;
}

std::string Platform::latencyRemedy(const char*, bool)
{
    return "likely the USB serial adapter's latency timer; set it to 1 ms in Device Manager: Ports (COM & LPT), the "
           "port's Properties, Port Settings, Advanced, Latency Timer (msec)";
}
