// The pseudo-terminal pair on which the board plays: the board reads and
// writes the master end; hosts open the other end (the device) as a serial
// port. The board keeps the device open itself, so that a host closing it
// does not hang up the line and the next host finds the board still there.
#pragma once

#include "SimBoard.h"

#include <optional>
#include <string>

class SimPseudoTerminal {
public:
    // Throws std::runtime_error when no pseudo-terminal can be had.
    SimPseudoTerminal();
    SimPseudoTerminal(const SimPseudoTerminal&) = delete;
    SimPseudoTerminal& operator=(const SimPseudoTerminal&) = delete;
    // Closes both ends and removes the link.
    ~SimPseudoTerminal();

    const std::string& devicePath() const { return m_devicePath; }
    int master() const { return m_master; }
    // The line settings the host set on the device.
    SimLineSettings lineSettings() const;
    // Makes a symbolic link path to the device (replacing an old symbolic
    // link there). Throws std::runtime_error on failure.
    void makeLink(const std::string& path);

private:
    int m_master = -1;
    int m_device = -1;
    std::string m_devicePath;
    std::optional<std::string> m_link;
};
