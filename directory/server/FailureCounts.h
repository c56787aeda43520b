#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "directory/server/Storage.h"

// The counts of failed password checks of a service of one process, in memory: per pair of user
// name and client address, with the pairs of each name and of each address at hand for the
// limits that look at all of them (see Gate). Which pairs are known is lasting data that the
// backend keeps itself, so the counts give their verdict in three steps. Counting stops at a
// closed gate, so the pairs of one name or one address stay few; pairs whose window has passed
// are swept out now and then.
class FailureCounts {
  public:
    enum class Verdict {
        Open,
        Closed,
        ClosedUnlessKnown  // open only for a known pair
    };

    Verdict Judge(const Gate& gate);
    void Count(const Gate& gate, int64_t now);
    void Clear(const std::string& name, const std::string& address);

  private:
    struct Entry {
        int64_t windowStart = 0;
        int failures = 0;
    };
    using Pair = std::pair<std::string, std::string>;

    // Failures of the gate's name from every address, and names with failures from its address,
    // in windows that began after since; called with the lock held.
    int NameFailures(const Gate& gate) const;
    int AddressNames(const Gate& gate) const;
    void Sweep(int64_t since);

    std::mutex m_lock;
    std::map<Pair, Entry> m_byName;  // (name, address)
    std::set<Pair> m_byAddress;      // (address, name) of the same pairs
    int64_t m_lastSweep = 0;
};
