#pragma once

// Open-addressed hash tables for the loader's many small keys (cells, sides, triangles): one
// allocation each, no node per entry, so that tens of millions of inserts of a large file cost
// what the hashing costs and the memory is the table itself.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace jf::preview {

inline std::uint64_t mixBits(std::uint64_t x)
{
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// A set of keys, or a map of keys to values when Value is not empty. `Traits` gives the key no entry
// may hold (`empty()`) and its hash. Insertion order is kept in `keys()`, so that what is built from
// a table does not depend on the hash.
template <class Key, class Traits, class Value = std::uint32_t>
class FlatMap
{
public:
    FlatMap() { m_slots.assign(16, kNone); }

    std::size_t size() const { return m_keys.size(); }
    const std::vector<Key>& keys() const { return m_keys; }
    std::vector<Value>& values() { return m_values; }
    const std::vector<Value>& values() const { return m_values; }

    // The entry's index in keys() and values(); `inserted` tells whether it is new.
    std::size_t insert(const Key& key, const Value& value, bool& inserted)
    {
        if ((m_keys.size() + 1) * 4 > m_slots.size() * 3)
            grow();
        std::size_t mask = m_slots.size() - 1;
        for (std::size_t i = Traits::hash(key) & mask;; i = (i + 1) & mask) {
            const std::uint32_t slot = m_slots[i];
            if (slot == kNone) {
                m_slots[i] = static_cast<std::uint32_t>(m_keys.size());
                m_keys.push_back(key);
                m_values.push_back(value);
                inserted = true;
                return m_keys.size() - 1;
            }
            if (m_keys[slot] == key) {
                inserted = false;
                return slot;
            }
        }
    }
    // The entry's index, or -1 when the key has none.
    std::ptrdiff_t find(const Key& key) const
    {
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t i = Traits::hash(key) & mask;; i = (i + 1) & mask) {
            const std::uint32_t slot = m_slots[i];
            if (slot == kNone)
                return -1;
            if (m_keys[slot] == key)
                return slot;
        }
    }
    bool insert(const Key& key, const Value& value = Value())
    {
        bool inserted = false;
        insert(key, value, inserted);
        return inserted;
    }

    void clear()
    {
        m_keys.clear();
        m_values.clear();
        m_slots.assign(16, kNone);
    }

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    void grow()
    {
        m_slots.assign(m_slots.size() * 2, kNone);
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t k = 0; k < m_keys.size(); ++k) {
            std::size_t i = Traits::hash(m_keys[k]) & mask;
            while (m_slots[i] != kNone)
                i = (i + 1) & mask;
            m_slots[i] = static_cast<std::uint32_t>(k);
        }
    }

    std::vector<std::uint32_t> m_slots; // index into m_keys, or kNone
    std::vector<Key> m_keys;
    std::vector<Value> m_values;
};

struct U64Traits
{
    static std::size_t hash(std::uint64_t key) { return static_cast<std::size_t>(mixBits(key)); }
};

} // namespace jf::preview
