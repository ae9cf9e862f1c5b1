// The serial devices open now, each with what its close puts back, kept where
// a stop signal's watcher can reach them as the process ends at once: a few
// fixed slots, claimed and released with lock-free atomics; no lock and no
// allocation, so that reading them is safe in a signal's context. Each
// system's device keeps one registry of its own record of what it found.
#pragma once

#include <atomic>
#include <cstddef>

template <class Found>
class DeviceRegistry {
public:
    // Keeps a copy of found; returns its slot, or -1 when every slot is taken
    // (that device is then put back by its close alone).
    int enlist(const Found& found)
    {
        for (size_t i = 0; i < SLOTS; ++i) {
            int iFree = FREE;
            if (m_state[i].compare_exchange_strong(iFree, FILLING)) {
                m_found[i] = found;
                m_state[i].store(READY);
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    // Forgets the slot that enlist returned; -1 does nothing.
    void delist(int iSlot)
    {
        if (iSlot >= 0) {
            m_state[iSlot].store(FREE);
        }
    }

    // Calls putBack(const Found&) for each device enlisted now.
    template <class PutBack>
    void forEach(PutBack putBack) const
    {
        for (size_t i = 0; i < SLOTS; ++i) {
            if (m_state[i].load() == READY) {
                putBack(m_found[i]);
            }
        }
    }

private:
    static constexpr size_t SLOTS = 4;
    enum : int { FREE, FILLING, READY };

    Found m_found[SLOTS]{};
    std::atomic<int> m_state[SLOTS]{};
};
