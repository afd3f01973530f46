#include "parse/segment_pool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace qrn {

namespace {

// Slots 0..5 lie below 24 GiB from the base; only they are ever reserved.
constexpr int USABLE_SLOTS = 6;
constexpr size_t BASE_ALIGNMENT = size_t(2) << 20;   // a huge page, and a multiple of a segment
constexpr int32_t SLOT_EXCLUDED = -1;
// The start of a region comes in small pages, the rest in huge pages where
// the system allows. Every size class in use holds a segment, of which a
// sparse class touches a page or two: the first segment of each class is cut
// from the small pages, which have room for all classes, so that no huge page
// is cleared for them. The later segments of a class (which fill before the
// next is taken) come from the huge pages, which spare the nodes' lookups most
// of their address-translation misses. Either part serves when the other is
// spent. 128 MiB: a segment for each class that holds nodes, and a whole
// number of huge pages.
constexpr size_t SMALL_PAGE_BYTES = size_t(128) << 20;
enum RegionPart { SMALL_PART, HUGE_PART, REGION_PARTS };
// The system refused address space or memory for the nodes: nothing can go on.
constexpr const char* REFUSED = "quarnix: no address space for the level-9 match finder\nVirtualAlloc failed\n";

struct PoolShared {
    std::mutex lock;
    bool ready = false;
    uint8_t mask = POOL_START_MASK;
    uint64_t fixed_region = 0;     // a region size set by pool_init (0: sized to the plan)
    uint64_t planned = 0;          // trie bytes the run may hold at once (0: not said)
    uint64_t asked_region = 0;     // the region size last asked of reserve_locked
    // Per slot: SLOT_EXCLUDED, or the segments of its region handed out (0: free).
    int32_t slot_words[POOL_SLOTS] = {};
    uint8_t* free_segments[POOL_SLOTS] = {};
    // Per part of the current region: next segment never handed out, and its end.
    uint8_t* cut[REGION_PARTS] = {};
    uint8_t* cut_end[REGION_PARTS] = {};
    // pool_prefault has backed [cut, prefaulted) of the huge-page part when
    // its cut <= prefaulted <= its end.
    uint8_t* prefaulted = nullptr;
    // Segments cut (and so backed by memory) per region, in all, and the most that may be.
    uint32_t cut_count[POOL_SLOTS] = {};
    uint64_t resident = 0;
    uint64_t budget = 0;
    uint8_t* reserved = nullptr;
    size_t reserved_bytes = 0;
    uint8_t* base = nullptr;
    uint64_t region_bytes = POOL_REGION_BYTES;
    bool configured = false;
};

PoolShared& shared()
{
    static PoolShared* s = new PoolShared;   // never destroyed: workers may still hold segments at exit
    return *s;
}

SegmentHeader* header(uint8_t* segment) { return reinterpret_cast<SegmentHeader*>(segment); }

void configure_locked(PoolShared& s, uint8_t mask, uint64_t region_bytes, uint64_t budget_bytes)
{
    s.mask = mask;
    s.fixed_region = region_bytes;
    s.planned = 0;
    const uint64_t memory = budget_bytes ? budget_bytes : physical_memory() / 4 * 3;
    s.budget = memory ? memory / POOL_SEGMENT_BYTES : UINT64_MAX;
    s.configured = true;
}

// The region size for the trie bytes planned: regions of the usable slots,
// one of them left over for a region given back part-cut, hold them all.
// Unplanned, the whole window.
uint64_t region_for(const PoolShared& s)
{
    if (s.fixed_region)
        return s.fixed_region;
    if (s.planned == 0)
        return POOL_REGION_BYTES;
    int usable = 0;
    for (int k = 0; k < USABLE_SLOTS; ++k)
        usable += !(s.mask >> k & 1);
    // Memory behind the segments never passes the budget, so neither do the tries.
    const uint64_t nodes = s.budget < s.planned / POOL_SEGMENT_BYTES ? s.budget * POOL_SEGMENT_BYTES : s.planned;
    const uint64_t share = nodes / static_cast<uint64_t>(usable > 1 ? usable - 1 : 1) + BASE_ALIGNMENT - 1;
    return std::min<uint64_t>(POOL_REGION_BYTES, std::max<uint64_t>(BASE_ALIGNMENT, share & ~uint64_t(BASE_ALIGNMENT - 1)));
}

bool none_in_use(const PoolShared& s)
{
    for (int32_t w : s.slot_words)
        if (w > 0)
            return false;
    return true;
}

// Reserves the address range for regions of `region_bytes`; where the system
// refuses it (an address-space limit), smaller regions are tried, down to
// one huge page. False when none could be reserved (the pool stays unready).
bool reserve_locked(PoolShared& s, uint64_t region_bytes)
{
    if (s.ready)
        address_release(s.reserved, s.reserved_bytes);
    s.ready = false;
    s.reserved = s.base = nullptr;
    s.asked_region = region_bytes;
    int top = 0;   // slots up to the last usable one lie in the range
    for (int k = 0; k < USABLE_SLOTS; ++k)
        if (!(s.mask >> k & 1))
            top = k + 1;
    for (int k = 0; k < POOL_SLOTS; ++k) {
        s.slot_words[k] = (s.mask >> k & 1) || k >= USABLE_SLOTS ? SLOT_EXCLUDED : 0;
        s.free_segments[k] = nullptr;
    }
    for (int part = 0; part < REGION_PARTS; ++part)
        s.cut[part] = s.cut_end[part] = nullptr;
    for (uint32_t& c : s.cut_count)
        c = 0;
    s.resident = 0;
    for (;;) {
        s.region_bytes = region_bytes;
        s.reserved_bytes = static_cast<size_t>(region_bytes) * static_cast<size_t>(top) + BASE_ALIGNMENT;
        s.reserved = static_cast<uint8_t*>(address_reserve(s.reserved_bytes));
        if (s.reserved)
            break;
        if (s.fixed_region || region_bytes <= BASE_ALIGNMENT) {
            pool_notice(PoolNotice::ReservationRefused);
            return false;
        }
        region_bytes = std::max<uint64_t>(BASE_ALIGNMENT, region_bytes / 2 & ~uint64_t(BASE_ALIGNMENT - 1));
    }
    const uintptr_t aligned = (reinterpret_cast<uintptr_t>(s.reserved) + BASE_ALIGNMENT - 1) & ~(BASE_ALIGNMENT - 1);
    s.base = reinterpret_cast<uint8_t*>(aligned);
    s.ready = true;
    return true;
}

int slot_of(const PoolShared& s, const uint8_t* segment)
{
    return static_cast<int>(static_cast<uint64_t>(segment - s.base) / s.region_bytes);
}

uint8_t* no_segment()
{
    pool_notice(PoolNotice::NoSegment);
    return nullptr;
}

// A segment for a class (`first`: its first one): a free one, else the next
// uncut one of the region part it belongs to, else of the other part, else the
// first of a new region; *base gets the range's base. Null when every usable
// slot is taken.
uint8_t* obtain_segment(bool first, uint8_t** base)
{
    PoolShared& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.configured)
        configure_locked(s, POOL_START_MASK, 0, 0);
    // The range is reserved at the first need, and reserved anew, larger,
    // when the plan has grown and no segment is out (no reference into it lives).
    const uint64_t region = region_for(s);
    if ((!s.ready || (region > s.asked_region && none_in_use(s))) && !reserve_locked(s, region))
        return nullptr;
    uint8_t* segment = nullptr;
    for (int k = 0; k < POOL_SLOTS && !segment; ++k) {
        if (s.free_segments[k]) {
            segment = s.free_segments[k];
            s.free_segments[k] = header(segment)->link;
        }
    }
    const bool fresh = !segment;
    if (fresh && s.resident >= s.budget)
        return no_segment();
    const int part = first ? SMALL_PART : HUGE_PART;
    for (int k = part; !segment && k < part + REGION_PARTS; ++k) {
        const int q = k % REGION_PARTS;
        if (s.cut[q] && s.cut[q] < s.cut_end[q]) {
            segment = s.cut[q];
            s.cut[q] += POOL_SEGMENT_BYTES;
        }
    }
    if (!segment) {
        int slot = 0;
        while (slot < POOL_SLOTS && s.slot_words[slot] != 0)
            ++slot;
        if (slot == POOL_SLOTS)
            return no_segment();
        uint8_t* region = s.base + s.region_bytes * static_cast<uint64_t>(slot);
        if (!address_commit(region, s.region_bytes, SMALL_PAGE_BYTES)) {
            pool_notice(PoolNotice::RegionRefused);
            return nullptr;
        }
        // The first segment comes from the small part, whichever is asked.
        uint8_t* const split = region + std::min<uint64_t>(SMALL_PAGE_BYTES, s.region_bytes);
        segment = region;
        s.cut[SMALL_PART] = region + POOL_SEGMENT_BYTES;
        s.cut_end[SMALL_PART] = split;
        s.cut[HUGE_PART] = split;
        s.cut_end[HUGE_PART] = region + s.region_bytes;
    }
    const int slot = slot_of(s, segment);
    if (fresh) {
        ++s.cut_count[slot];
        ++s.resident;
    }
    ++s.slot_words[slot];
    *base = s.base;
    return segment;
}

// Hands a segment back; the caller holds the lock. The region goes back to
// the system with its last segment.
void return_segment_locked(PoolShared& s, uint8_t* segment)
{
    const int slot = slot_of(s, segment);
    if (--s.slot_words[slot] > 0) {
        header(segment)->link = s.free_segments[slot];
        s.free_segments[slot] = segment;
        return;
    }
    uint8_t* region = s.base + s.region_bytes * static_cast<uint64_t>(slot);
    address_decommit(region, s.region_bytes);
    s.free_segments[slot] = nullptr;
    s.resident -= s.cut_count[slot];
    s.cut_count[slot] = 0;
    // Nothing more is cut from a region given back.
    for (int part = 0; part < REGION_PARTS; ++part)
        if (s.cut[part] > region && s.cut[part] <= region + s.region_bytes)
            s.cut[part] = s.cut_end[part];
}

} // namespace

SegmentInfo pool_segment_info[POOL_WINDOW_SEGMENTS];

void pool_notice_default(PoolNotice what)
{
    if (what != PoolNotice::NoSegment)
        fatal_exit(REFUSED, 1);
    static const char message[] = "Too many seg allocated\n";
    status_line_clear();
    std::fwrite(message, 1, sizeof message - 1, stderr);
}

PoolNoticeFn pool_notice = pool_notice_default;

void pool_init(uint8_t mask, uint64_t region_bytes, uint64_t budget_bytes)
{
    PoolShared& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.ready)
        address_release(s.reserved, s.reserved_bytes);
    s.ready = false;
    s.reserved = s.base = nullptr;
    configure_locked(s, mask, region_bytes, budget_bytes);
}

void pool_plan(uint64_t trie_bytes)
{
    PoolShared& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.configured)
        configure_locked(s, POOL_START_MASK, 0, 0);
    s.planned = std::max(s.planned, trie_bytes);
}

uint64_t pool_reserved_bytes()
{
    PoolShared& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.ready ? s.reserved_bytes : 0;
}

void pool_close()
{
    PoolShared& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.ready)
        return;
    address_release(s.reserved, s.reserved_bytes);
    s.reserved = s.base = nullptr;
    s.ready = false;
    s.configured = false;
}

void pool_prefault(uint64_t bytes)
{
    PoolShared& s = shared();
    uint8_t* from;
    uint8_t* to;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        uint8_t* const cut = s.cut[HUGE_PART];
        uint8_t* const end = s.cut_end[HUGE_PART];
        if (!cut || cut >= end)
            return;
        from = s.prefaulted >= cut && s.prefaulted <= end ? s.prefaulted : cut;
        to = cut + std::min<uint64_t>(bytes, static_cast<uint64_t>(end - cut));
        if (from >= to)
            return;
        s.prefaulted = to;
    }
    // Outside the lock: the pages may be handed out (or the region given
    // back) meanwhile, which the prefault neither changes nor minds.
    address_prefault(from, static_cast<size_t>(to - from));
}

uint8_t* pool_base()
{
    PoolShared& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.base;
}

int pool_regions_in_use()
{
    PoolShared& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    int n = 0;
    for (int k = 0; k < POOL_SLOTS; ++k)
        n += s.slot_words[k] > 0;
    return n;
}

void pool_clear(SegmentPool* pool)
{
    std::memset(pool->classes, 0, sizeof pool->classes);
    pool->base = nullptr;
}

namespace {

SegmentInfo* info_of(const uint8_t* base, const void* object)
{
    return &pool_segment_info[static_cast<uint64_t>(static_cast<const uint8_t*>(object) - base) / POOL_SEGMENT_BYTES];
}

} // namespace

uint32_t pool_class_of(const void* object) { return info_of(pool_base(), object)->cls; }

void* pool_alloc(SegmentPool* pool, uint32_t size, uint32_t cls)
{
    PoolClass& e = pool->classes[cls];
    ++e.allocated;
    if (uint8_t* object = e.free_objects) {
        std::memcpy(&e.free_objects, object, sizeof e.free_objects);
        // Freed objects are long out of the cache: the next one's link (and
        // the node written there) starts loading now, not at the next call.
        __builtin_prefetch(e.free_objects, 1);
        ++info_of(pool->base, object)->live;
        return object;
    }
    e.object_size = (size + 7) & ~7u;
    // An object never ends exactly at its segment's end.
    if (e.cut && e.cut + e.object_size < e.cut_end) {
        uint8_t* object = e.cut;
        e.cut += e.object_size;
        ++info_of(pool->base, object)->live;
        return object;
    }
    uint8_t* segment = obtain_segment(e.segment_count == 0, &pool->base);
    if (!segment) {
        --e.allocated;
        return nullptr;
    }
    header(segment)->link = e.segments;
    *info_of(pool->base, segment) = SegmentInfo{static_cast<uint16_t>(cls), 1};
    e.segments = segment;
    ++e.segment_count;
    e.cut_end = segment + POOL_SEGMENT_BYTES;
    uint8_t* object = segment + POOL_SEGMENT_HEADER;
    e.cut = object + e.object_size;
    return object;
}

void pool_free(SegmentPool* pool, void* object_ptr)
{
    if (!object_ptr)
        return;
    uint8_t* object = static_cast<uint8_t*>(object_ptr);
    SegmentHeader* h = pool_segment_of(object);
    uint8_t* segment = reinterpret_cast<uint8_t*>(h);
    SegmentInfo* info = info_of(pool->base, object);
    PoolClass& e = pool->classes[info->cls];
    ++e.freed;
    if (--info->live > 0) {
        std::memcpy(object, &e.free_objects, sizeof e.free_objects);
        e.free_objects = object;
        return;
    }
    // The segment is empty: none of its objects may be handed out again.
    if (--e.segment_count > 0) {
        uint8_t** link = &e.free_objects;
        while (*link) {
            uint8_t* next;
            std::memcpy(&next, *link, sizeof next);
            if (pool_segment_of(*link) == h)
                *link = next;
            else
                link = reinterpret_cast<uint8_t**>(*link);
        }
    } else {
        e.free_objects = nullptr;
    }
    for (uint8_t** link = &e.segments; *link; link = &header(*link)->link) {
        if (*link == segment) {
            *link = h->link;
            break;
        }
    }
    if (e.cut > segment && e.cut < segment + POOL_SEGMENT_BYTES)
        e.cut = e.cut_end;
    PoolShared& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    return_segment_locked(s, segment);
}

void pool_release_all(SegmentPool* pool)
{
    PoolShared& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    for (int cls = 0; cls < POOL_CLASSES - 1; ++cls) {
        PoolClass& e = pool->classes[cls];
        for (uint8_t* segment = e.segments; segment;) {
            uint8_t* next = header(segment)->link;
            --e.segment_count;
            return_segment_locked(s, segment);
            segment = next;
        }
        e.segments = nullptr;
    }
}

} // namespace qrn
