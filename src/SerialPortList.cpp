#include "SerialPortList.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute; empty when there is none.
std::string attribute(const fs::path& path)
{
    std::string line;
    std::ifstream file(path);
    std::getline(file, line);
    return line;
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
            byId.emplace(target.filename().string(), "/dev/serial/by-id/" + link.filename().string());
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
        std::string line = "/dev/" + name;
        const fs::path usb = usbDevice(device, devices);
        if (!usb.empty()) {
            line += " (USB " + attribute(usb / "idVendor") + ":" + attribute(usb / "idProduct");
            for (const char* pszString : {"manufacturer", "product", "serial"}) {
                const std::string text = attribute(usb / pszString);
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
    std::sort(lines.begin(), lines.end());
    return lines;
}
