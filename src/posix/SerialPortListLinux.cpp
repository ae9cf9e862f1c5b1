// Linux: the devices that sysfs shows, read from the root in QUENWICK_PORTS_ROOT
// (a tree that a test made) or else from /.
#include <cstdlib>

#include "SerialPortList.h"

std::vector<std::string> SerialPortList::ofThisSystem() {
    const char* pszRoot = std::getenv("QUENWICK_PORTS_ROOT");
    return fromSysfs(pszRoot != nullptr && *pszRoot != '\0' ? pszRoot : "/");
}
