// The serial devices open now, each with what its close puts back, kept where
// the watcher of stop requests can reach them as the process ends at once.
// The watcher puts the devices back under the registry's lock, so a device
// that delists itself before it closes is never put back after its close.
// Each system's device keeps one registry of its own record of what it found.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

template <class Found>
class DeviceRegistry {
public:
    // Keeps a copy of found; returns the key that delists it (never 0).
    uint64_t enlist(const Found& found)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_found.emplace(++m_dwLastKey, found);
        return m_dwLastKey;
    }

    // Forgets the device of the key (0: none), after any putting back under way.
    void delist(uint64_t dwKey)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_found.erase(dwKey);
    }

    // Calls putBack(const Found&) for each device enlisted now.
    template <class PutBack>
    void forEach(PutBack putBack)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (const auto& [dwKey, found] : m_found) {
            putBack(found);
        }
    }

private:
    std::mutex m_lock;
    std::map<uint64_t, Found> m_found;
    uint64_t m_dwLastKey = 0;
};
