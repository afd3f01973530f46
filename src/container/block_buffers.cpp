#include "container/block_buffers.h"

#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace qrn {

namespace {

// Each buffer starts with a header that records its mapped size; the data
// follows, 64-byte aligned.
constexpr size_t HEADER = 64;
constexpr size_t MAP_THRESHOLD = 1u << 20;

struct FreeList {
    std::mutex mutex;
    std::vector<uint8_t*> buffers;
    size_t limit = 4;
    ~FreeList();
};

FreeList& free_list()
{
    static FreeList list;
    return list;
}

size_t stored_size(const uint8_t* data) { return *reinterpret_cast<const size_t*>(data - HEADER); }

void release_now(uint8_t* data)
{
    const size_t total = stored_size(data) + HEADER;
    if (total >= MAP_THRESHOLD)
        memory_unmap(data - HEADER, total);
    else
        memory_aligned_free(data - HEADER);
}

// Buffers still waiting for reuse go back at exit, so that leak checkers in
// programs that use the library find nothing left behind.
FreeList::~FreeList()
{
    for (uint8_t* b : buffers)
        release_now(b);
}

} // namespace

BlockAllocGate block_alloc_gate = nullptr;

uint8_t* block_alloc(size_t bytes)
{
    if (block_alloc_gate && !block_alloc_gate(bytes))
        return nullptr;
    FreeList& list = free_list();
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        for (size_t i = 0; i < list.buffers.size(); ++i) {
            const size_t size = stored_size(list.buffers[i]);
            if (size >= bytes && size - bytes <= size / 8) {
                uint8_t* found = list.buffers[i];
                list.buffers.erase(list.buffers.begin() + static_cast<long>(i));
                return found;
            }
        }
    }
    const size_t total = bytes + HEADER;
    uint8_t* base;
    if (total >= MAP_THRESHOLD)
        base = static_cast<uint8_t*>(memory_map(total));
    else
        base = static_cast<uint8_t*>(memory_aligned_alloc(HEADER, (total + HEADER - 1) / HEADER * HEADER));
    if (!base)
        return nullptr;
    *reinterpret_cast<size_t*>(base) = bytes;
    return base + HEADER;
}

void block_release(uint8_t* buffer)
{
    if (!buffer)
        return;
    FreeList& list = free_list();
    uint8_t* evicted = nullptr;
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        if (list.limit == 0) {
            evicted = buffer;
        } else {
            list.buffers.push_back(buffer);
            if (list.buffers.size() > list.limit) {
                evicted = list.buffers.front();
                list.buffers.erase(list.buffers.begin());
            }
        }
    }
    if (evicted)
        release_now(evicted);
}

void block_pool_set_limit(int buffers)
{
    FreeList& list = free_list();
    std::vector<uint8_t*> evicted;
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        list.limit = buffers > 0 ? static_cast<size_t>(buffers) : 0;
        while (list.buffers.size() > list.limit) {
            evicted.push_back(list.buffers.front());
            list.buffers.erase(list.buffers.begin());
        }
    }
    for (uint8_t* b : evicted)
        release_now(b);
}

} // namespace qrn
