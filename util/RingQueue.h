#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace zorvo {

// A first-in first-out queue on a ring of slots that only grows (doubling) when full, so a queue
// that is drained as fast as it is filled never allocates after its first use.
template <typename T>
class RingQueue {
  public:
    bool empty() const { return m_count == 0; }
    std::size_t size() const { return m_count; }

    void push(T value) {
        if (m_count == m_slots.size()) {
            grow();
        }
        m_slots[(m_head + m_count) % m_slots.size()] = std::move(value);
        ++m_count;
    }

    T& front() { return m_slots[m_head]; }

    T pop() {
        T value = std::move(m_slots[m_head]);
        m_head = (m_head + 1) % m_slots.size();
        --m_count;
        return value;
    }

  private:
    void grow() {
        std::vector<T> bigger(m_slots.empty() ? 16 : m_slots.size() * 2);
        for (std::size_t i = 0; i < m_count; ++i) {
            bigger[i] = std::move(m_slots[(m_head + i) % m_slots.size()]);
        }
        m_slots = std::move(bigger);
        m_head = 0;
    }

    std::vector<T> m_slots;
    std::size_t m_head = 0;
    std::size_t m_count = 0;
};

}  // namespace zorvo
