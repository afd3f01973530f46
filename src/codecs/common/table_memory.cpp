#include "codecs/common/table_memory.h"

#include <cstring>

#include "platform/platform.h"

namespace qrn {

namespace {

// The regions a thread released, by size; a call uses at most three tables.
struct KeptRegions {
    static constexpr int COUNT = 4;
    void* p[COUNT] = {};
    size_t bytes[COUNT] = {};
    int next = 0;  // the slot a release takes when all are full

    ~KeptRegions()
    {
        for (int i = 0; i < COUNT; ++i)
            memory_unmap(p[i], bytes[i]);
    }
};

thread_local KeptRegions kept;

} // namespace

void* table_memory_acquire(size_t bytes)
{
    if (bytes == 0)
        return nullptr;
    for (int i = 0; i < KeptRegions::COUNT; ++i) {
        if (kept.p[i] && kept.bytes[i] == bytes) {
            void* p = kept.p[i];
            kept.p[i] = nullptr;
            std::memset(p, 0, bytes);
            return p;
        }
    }
    return memory_map(bytes);
}

void table_memory_release(void* p, size_t bytes)
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
}

} // namespace qrn
