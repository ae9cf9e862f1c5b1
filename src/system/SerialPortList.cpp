// The serial devices that Linux's sysfs shows, and the printable form of what any system tells of a device.
#include "SerialPortList.h"

#include "Platform.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Bytes of an attribute taken at most: the USB strings are far shorter.
constexpr uint64_t ATTRIBUTE_LIMIT = 4096;

}  // namespace

// The text as one line that a terminal shows as it is: each byte of a control
// character (C0, DEL, C1 encoded in UTF-8), of a bidirectional formatting
// character (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) or
// of a line or paragraph separator (U+2028, U+2029), a backslash, and a byte
// that is no part of valid UTF-8 is written \xNN.
std::string SerialPortList::printable(const std::string& strText)
{
    std::string strShown;
    for (size_t i = 0; i < strText.size();) {
        const auto byte = [&strText](size_t at) { return static_cast<uint8_t>(at < strText.size() ? strText[at] : 0); };
        const uint8_t b = byte(i);
        // The length of a valid UTF-8 sequence that starts here and is no control character; 0 otherwise.
        size_t length = b >= 0x20 && b < 0x7F && b != '\\' ? 1
                        : b >= 0xC2 && b <= 0xDF           ? 2
                        : b >= 0xE0 && b <= 0xEF           ? 3
                        : b >= 0xF0 && b <= 0xF4           ? 4
                                                           : 0;
        for (size_t k = 1; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) {
                length = 0;
            }
        }
        const uint8_t b1 = byte(i + 1);
        if ((b == 0xC2 && b1 < 0xA0) || (b == 0xE0 && b1 < 0xA0) || (b == 0xED && b1 >= 0xA0) ||
            (b == 0xF0 && b1 < 0x90) || (b == 0xF4 && b1 >= 0x90)) {
            length = 0;  // C1 controls, overlong forms, surrogates, beyond U+10FFFF
        }
        const uint32_t dwCode = length == 2   ? (b & 0x1FU) << 6 | (b1 & 0x3FU)
                                : length == 3 ? (b & 0x0FU) << 12 | (b1 & 0x3FU) << 6 | (byte(i + 2) & 0x3FU)
                                              : 0;
        const bool fFormatting = dwCode == 0x061C || dwCode == 0x200E || dwCode == 0x200F ||
                                 (dwCode >= 0x2028 && dwCode <= 0x202E) || (dwCode >= 0x2066 && dwCode <= 0x2069);
        if (length == 0 || fFormatting) {
            for (size_t k = 0; k < std::max<size_t>(length, 1); ++k) {
                char escaped[5];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", byte(i + k));
                strShown += escaped;
            }
            i += std::max<size_t>(length, 1);
        } else {
            strShown.append(strText, i, length);
            i += length;
        }
    }
    return strShown;
}

namespace {

// A sysfs attribute, read as untrusted: a regular file only, never waited
// on, at most ATTRIBUTE_LIMIT bytes, its one final line feed dropped; empty
// when it is none of that.
std::string attribute(const fs::path& path)
{
    std::vector<uint8_t> bytes;
    if (!Platform::readRegularFile(path.string().c_str(), ATTRIBUTE_LIMIT, &bytes)) {
        return "";
    }
    std::string strText(bytes.begin(), bytes.end());
    if (strText.ends_with('\n')) {
        strText.pop_back();
    }
    return strText;
}

// The entries of a directory; none when it cannot be read. A device that
// goes away meanwhile ends the listing there rather than the program.
std::vector<fs::path> entries(const fs::path& directory)
{
    std::vector<fs::path> paths;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        paths.push_back(it->path());
    }
    return paths;
}

// The USB device above a terminal's device in the sysfs tree: the first
// directory on the way up that has a vendor number; empty when there is none.
fs::path usbDevice(fs::path device, const fs::path& devices)
{
    std::error_code ec;
    for (; device.has_relative_path() && device != devices; device = device.parent_path()) {
        if (fs::exists(device / "idVendor", ec)) {
            return device;
        }
    }
    return {};
}

}  // namespace

std::vector<std::string> SerialPortList::fromSysfs(const fs::path& root)
{
    std::error_code ec;
    // Device name -> its stable path, from the links in dev/serial/by-id.
    std::map<std::string, std::string> byId;
    for (const fs::path& link : entries(root / "dev/serial/by-id")) {
        const fs::path target = fs::read_symlink(link, ec);
        if (!ec) {
            byId.emplace(target.filename().string(), "/dev/serial/by-id/" + printable(link.filename().string()));
        }
    }
    const fs::path devices = fs::weakly_canonical(root / "sys/devices", ec);
    std::vector<std::string> lines;
    for (const fs::path& tty : entries(root / "sys/class/tty")) {
        const std::string name = tty.filename().string();
        const fs::path device = fs::canonical(tty / "device", ec);
        if (ec || attribute(tty / "type") == "0") {
            continue;
        }
        std::string line = "/dev/" + printable(name);
        const fs::path usb = usbDevice(device, devices);
        if (!usb.empty()) {
            line += " (USB " + printable(attribute(usb / "idVendor")) + ":" + printable(attribute(usb / "idProduct"));
            for (const char* pszString : {"manufacturer", "product", "serial"}) {
                const std::string text = printable(attribute(usb / pszString));
                if (!text.empty()) {
                    line += (pszString == std::string("serial") ? ", serial " : ", ") + text;
                }
            }
            if (const auto found = byId.find(name); found != byId.end()) {
                line += ", " + found->second;
            }
            line += ")";
        }
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end(), naturalLess);
    return lines;
}

bool SerialPortList::naturalLess(const std::string& a, const std::string& b)
{
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = 0;
    size_t k = 0;
    while (i < a.size() && k < b.size()) {
        if (!isDigit(a[i]) || !isDigit(b[k])) {
            if (a[i] != b[k]) {
                return a[i] < b[k];
            }
            ++i, ++k;
            continue;
        }
        // Two numbers: the one with more digits (leading zeros aside) is larger, else the first digit that differs.
        const size_t aStart = a.find_first_not_of('0', i), bStart = b.find_first_not_of('0', k);
        size_t aEnd = i, bEnd = k;
        while (aEnd < a.size() && isDigit(a[aEnd])) {
            ++aEnd;
        }
        while (bEnd < b.size() && isDigit(b[bEnd])) {
            ++bEnd;
        }
        const std::string_view aNumber(a.data() + std::min(aStart, aEnd), aEnd - std::min(aStart, aEnd));
        const std::string_view bNumber(b.data() + std::min(bStart, bEnd), bEnd - std::min(bStart, bEnd));
        if (aNumber != bNumber) {
            return aNumber.size() != bNumber.size() ? aNumber.size() < bNumber.size() : aNumber < bNumber;
        }
        i = aEnd, k = bEnd;
    }
    return a.size() - i < b.size() - k;
}
