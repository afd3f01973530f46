// Slab allocator for the match finder's trie nodes.
//
// Objects of one size class share 256 KiB segments; a segment's 16-byte
// header (its list link) is found by rounding an object's address down to
// 256 KiB, and its size class and live objects by the segment's number in a
// table (SegmentInfo), so the class of any object costs no bytes of its own.
// Segments are cut from regions of 4 GiB inside one address range reserved
// at the first need: regions are made usable when their slot is
// taken and given back to the system when their last segment returns. The
// range is sized to the tries the run plans for (pool_plan; unplanned, six
// regions of 4 GiB), so that a small run reserves little address space. Every
// object lies at the range's base + a multiple of 8 below 24 GiB, so
// (address - base) / 8 is a 32-bit reference below 0xC0000000.
//
// Each compressor call owns a SegmentPool (its class table) and allocates
// from it without locking; only handing segments out and back, and taking or
// giving back regions, go through the process-wide lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qrn {

constexpr size_t POOL_SEGMENT_BYTES = size_t(1) << 18;
constexpr size_t POOL_SEGMENT_HEADER = 16;
constexpr uint64_t POOL_REGION_BYTES = uint64_t(1) << 32;
constexpr int POOL_CLASSES = 513;
constexpr int POOL_SLOTS = 8;
// Slots 3 and 7 are left out at start-up; 6 and 7 lie at or above 24 GiB,
// where references would read as leaf marks, and are never used.
constexpr uint8_t POOL_START_MASK = 0x88;

struct PoolClass {
    uint8_t* segments;       // head of the class's segment list
    uint8_t* free_objects;   // last freed first; a free object's first 8 bytes link the next
    uint8_t* cut;            // next object of the current segment
    uint8_t* cut_end;        // end of the current segment
    uint32_t object_size;    // requested size rounded up to 8
    uint32_t segment_count;
    uint32_t allocated, freed;
};

// The header at the start of every segment. Objects start after all 16
// bytes of it (so many fit in a segment), though only the link lives there.
struct SegmentHeader {
    uint8_t* link;           // next segment of its class's list, or of a free list
    uint64_t unused;
};
static_assert(sizeof(SegmentHeader) == POOL_SEGMENT_HEADER);

inline SegmentHeader* pool_segment_of(const void* object)
{
    return reinterpret_cast<SegmentHeader*>(reinterpret_cast<uintptr_t>(object) &
                                            ~uintptr_t(POOL_SEGMENT_BYTES - 1));
}

// The size class and live objects of a segment, kept apart from the segment:
// all headers lie at the same offset of a 256 KiB stride, where the caches hold
// only a few of them at once, while this table keeps the segments of a trie in
// a few contiguous cache lines. It is indexed by the segment's number from
// the range's base (a node reference >> 15). An entry is written by the owner
// of its segment only, while the segment is held by a class.
struct SegmentInfo {
    uint16_t cls;
    uint16_t live;           // at most 32765 objects
};
constexpr uint32_t POOL_WINDOW_SEGMENTS = uint32_t((uint64_t(6) << 32) / POOL_SEGMENT_BYTES);
extern SegmentInfo pool_segment_info[POOL_WINDOW_SEGMENTS];

struct SegmentPool {
    PoolClass classes[POOL_CLASSES];
    uint8_t* base;           // the range's base while the pool holds segments
};

// What the pool tells its owner when the system or its slots say no.
enum class PoolNotice {
    NoSegment,             // every usable slot is taken, or the memory budget is spent
    RegionRefused,         // the system would not make a region usable
    ReservationRefused,    // the system would not reserve the address range
};
// Called with the pool's lock held. The default prints "Too many seg
// allocated" for NoSegment and ends the process for the other two; a
// replacement that returns makes the allocation fail (null), so that the
// block is stored raw. Set it before any compression starts.
using PoolNoticeFn = void (*)(PoolNotice what);
void pool_notice_default(PoolNotice what);
extern PoolNoticeFn pool_notice;

// Process-wide start and end of a compression run; the address range is
// reserved at the first need. Slot k is left out when bit k of `mask` is set.
// Regions are `region_bytes` (0: sized to the plan). Segments backed by memory
// stay within `budget_bytes` (0: three quarters of the physical memory), so
// that tries growing in several threads end in raw blocks rather than in a
// process the system kills. Tests run out of slots or budget with small values.
void pool_init(uint8_t mask, uint64_t region_bytes = 0, uint64_t budget_bytes = 0);
void pool_close();
// Says how many bytes of trie the run may hold at once (the largest said so
// far counts). The range grows to it when next no segment is out.
void pool_plan(uint64_t trie_bytes);
// The address range reserved now (0: none), for tests.
uint64_t pool_reserved_bytes();

void pool_clear(SegmentPool* pool);
// An object of `size` bytes (at most 1028) of class `cls`, 8-byte aligned, or
// null when no region slot is left (see PoolNotice for what is said then).
void* pool_alloc(SegmentPool* pool, uint32_t size, uint32_t cls);
void pool_free(SegmentPool* pool, void* object);
// Gives every segment of the pool back at once, whatever it still holds.
void pool_release_all(SegmentPool* pool);

// Has the system back the next `bytes` of segments not yet handed out, from
// any thread: the first touch of a fresh page costs its clearing, which a
// thread with time to spare then pays instead of the one building a trie.
void pool_prefault(uint64_t bytes);

// Base of the address range the references count from (null before the first region).
uint8_t* pool_base();

// Size class of the segment that holds `object` (tests).
uint32_t pool_class_of(const void* object);

// The same for a node reference ((address - pool_base()) / 8).
inline uint32_t pool_class_of_reference(uint32_t reference)
{
    constexpr uint32_t REFERENCES_PER_SEGMENT_SHIFT = 15;   // 256 KiB of 8-byte units
    return pool_segment_info[reference >> REFERENCES_PER_SEGMENT_SHIFT].cls;
}

// Regions in use (tests).
int pool_regions_in_use();

} // namespace qrn
