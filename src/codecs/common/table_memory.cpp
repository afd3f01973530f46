#include "codecs/common/table_memory.h"

#include <cstring>

#include "codecs/common/lz_hash.h"
#include "platform/platform.h"

namespace qrn {

namespace {

// The regions a thread released, by size; a call uses at most three tables.
struct KeptRegions {
    static constexpr int COUNT = 4;
    void* p[COUNT] = {};
    size_t bytes[COUNT] = {};
    bool zeroed[COUNT] = {};
    int next = 0;  // the slot a release takes when all are full

    ~KeptRegions()
    {
        for (int i = 0; i < COUNT; ++i)
            memory_unmap(p[i], bytes[i]);
    }
};

thread_local KeptRegions kept;

// Clearing one slot of a large table by its hash misses the caches, while
// clearing all of it runs at memory speed: about this many slots are cleared
// whole in the time one is cleared by hash.
constexpr uint64_t SLOTS_PER_HASHED_CLEAR = 64;
// A part of at most this many slots stays in the caches and is cleared whole.
constexpr size_t CACHED_PART_SLOTS = size_t{1} << 16;

template <typename Hash>
void clear_by(uint32_t* part, const uint8_t* in, uint32_t end, Hash hash)
{
    for (uint32_t pos = 0; pos < end; ++pos)
        part[hash(in + pos)] = 0;
}

} // namespace

void* table_memory_acquire(size_t bytes)
{
    if (bytes == 0)
        return nullptr;
    for (int i = 0; i < KeptRegions::COUNT; ++i) {
        if (kept.p[i] && kept.bytes[i] == bytes) {
            void* p = kept.p[i];
            kept.p[i] = nullptr;
            if (!kept.zeroed[i])
                std::memset(p, 0, bytes);
            return p;
        }
    }
    return memory_map(bytes);
}

void table_memory_release(void* p, size_t bytes, bool zeroed)
{
    int slot = -1;
    for (int i = 0; i < KeptRegions::COUNT && slot < 0; ++i)
        if (!kept.p[i])
            slot = i;
    if (slot < 0) {
        slot = kept.next;
        kept.next = (kept.next + 1) % KeptRegions::COUNT;
        memory_unmap(kept.p[slot], kept.bytes[slot]);
    }
    kept.p[slot] = p;
    kept.bytes[slot] = bytes;
    kept.zeroed[slot] = zeroed;
}

void table_clear_named(uint32_t* table, const uint8_t* in, uint32_t n, const TablePart& part)
{
    const uint32_t end = n + TABLE_TAIL_POSITIONS;
    uint32_t* slots = table + part.first;
    const int shift = part.shift;
    switch (part.hash) {
    case SlotHash::H3: clear_by(slots, in, end, [](const uint8_t* p) { return H3(p); }); break;
    case SlotHash::H4: clear_by(slots, in, end, [shift](const uint8_t* p) { return H4(p, shift); }); break;
    case SlotHash::H6: clear_by(slots, in, end, [shift](const uint8_t* p) { return H6(p, shift); }); break;
    case SlotHash::H8: clear_by(slots, in, end, [shift](const uint8_t* p) { return H8(p, shift); }); break;
    }
}

void TableMemory::named_by(const uint8_t* in, uint32_t n, std::initializer_list<TablePart> parts)
{
    in_ = in;
    n_ = n;
    part_count_ = 0;
    if (parts.size() > MAX_PARTS)
        return;  // not cleared by hash: the whole table is cleared at its next use
    for (const TablePart& part : parts)
        parts_[part_count_++] = part;
}

TableMemory::~TableMemory()
{
    if (!slots_)
        return;
    // Each large part must be cheaper to clear by hash than whole; small
    // parts are cleared whole. Otherwise the table is cleared at its next use.
    const uint64_t hashed = (uint64_t{n_} + TABLE_TAIL_POSITIONS) * SLOTS_PER_HASHED_CLEAR;
    bool cleanable = part_count_ > 0;
    for (size_t i = 0; i < part_count_; ++i)
        cleanable = cleanable && (parts_[i].count <= CACHED_PART_SLOTS || hashed <= parts_[i].count);
    if (cleanable) {
        for (size_t i = 0; i < part_count_; ++i) {
            const TablePart& part = parts_[i];
            if (hashed <= part.count)
                table_clear_named(slots_, in_, n_, part);
            else
                std::memset(slots_ + part.first, 0, part.count * sizeof(uint32_t));
        }
    }
    table_memory_release(slots_, entries_ * sizeof(uint32_t), cleanable);
}

} // namespace qrn
