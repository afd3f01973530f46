// Zeroed memory for the compressors' hash tables.
//
// Fresh pages cost far more on first touch (the kernel clears each one as it
// faults in, huge pages most of all) than clearing memory that is already
// mapped. Each thread therefore keeps the memory of the tables it released
// and hands it back, zeroed, when its next block asks for the same size.
//
// Clearing a whole table costs as much for a 4 KB block as for a 64 MiB one,
// which dominates when a tree of small files is compressed. A compressor
// therefore says which hashes name the slots it writes: when the table is
// given back after a small block, the slots those hashes name for the
// block's positions are zeroed one by one (a part small enough to stay in
// the caches is cleared whole), and the table is kept as clean; after a
// large block, the whole table is cleared at its next use instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace qrn {

// Zeroed memory of `bytes` bytes, or null when none can be had.
void* table_memory_acquire(size_t bytes);
// Gives memory from table_memory_acquire back (kept for this thread's next
// call); `zeroed` when the caller left every byte of it zero.
void table_memory_release(void* p, size_t bytes, bool zeroed);

// The hash that names the slots of one part of a table: position p of the
// block is kept in slot HASH(in + p, shift) of the part.
enum class SlotHash : uint8_t { H3, H4, H6, H8 };
struct TablePart {
    size_t first;    // the part's first slot
    size_t count;    // its slots
    SlotHash hash;
    int shift;       // not used by H3
};

// Positions past the block's end that a compressor may enter in its tables
// (their hashes read the zeroed slack behind the block).
constexpr uint32_t TABLE_TAIL_POSITIONS = 8;

// Zeroes the slots that `part` names for the positions 0 .. n + TABLE_TAIL_POSITIONS - 1.
void table_clear_named(uint32_t* table, const uint8_t* in, uint32_t n, const TablePart& part);

// One table's memory for the length of a call.
class TableMemory {
public:
    explicit TableMemory(size_t entries)
        : entries_(entries), slots_(static_cast<uint32_t*>(table_memory_acquire(entries * sizeof(uint32_t))))
    {
    }
    ~TableMemory();
    TableMemory(const TableMemory&) = delete;
    TableMemory& operator=(const TableMemory&) = delete;

    uint32_t* slots() const { return slots_; }

    // Says, before the first slot is written, that the block's slots are
    // named only by `parts` for positions of `in` (n bytes and its slack).
    void named_by(const uint8_t* in, uint32_t n, std::initializer_list<TablePart> parts);

private:
    static constexpr size_t MAX_PARTS = 3;
    size_t entries_;
    uint32_t* slots_;
    const uint8_t* in_ = nullptr;
    uint32_t n_ = 0;
    TablePart parts_[MAX_PARTS] = {};
    size_t part_count_ = 0;
};

} // namespace qrn
