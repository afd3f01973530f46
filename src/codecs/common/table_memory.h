// Zeroed memory for the compressors' hash tables.
//
// Fresh pages cost far more on first touch (the kernel clears each one as it
// faults in, huge pages most of all) than clearing memory that is already
// mapped: a 128 MiB table set takes a third of a second the first way and a
// few milliseconds the second. Each thread therefore keeps the memory of the
// tables it released and hands it back, cleared, when its next block asks for
// the same size, which is every block of a run after the first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qrn {

// Zeroed memory of `bytes` bytes, or null when none can be had.
void* table_memory_acquire(size_t bytes);
// Gives memory from table_memory_acquire back (kept for this thread's next call).
void table_memory_release(void* p, size_t bytes);

// One table's memory for the length of a call.
class TableMemory {
public:
    explicit TableMemory(size_t entries)
        : bytes_(entries * sizeof(uint32_t)), slots_(static_cast<uint32_t*>(table_memory_acquire(bytes_)))
    {
    }
    ~TableMemory()
    {
        if (slots_)
            table_memory_release(slots_, bytes_);
    }
    TableMemory(const TableMemory&) = delete;
    TableMemory& operator=(const TableMemory&) = delete;

    uint32_t* slots() const { return slots_; }

private:
    size_t bytes_;
    uint32_t* slots_;
};

} // namespace qrn
