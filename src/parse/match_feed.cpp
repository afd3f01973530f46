#include "parse/match_feed.h"

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "common/bytes.h"
#include "parse/segment_pool.h"
#include "platform/platform.h"

namespace qrn {

namespace {

constexpr uint32_t FEED_RECORDS = 4096;        // records in the ring
constexpr uint64_t FEED_PAIRS = 1u << 15;      // candidates in the ring; a record's lie together
constexpr uint64_t PARSE_BATCH = 1024;        // records that wake a sleeping parse (each wake costs the finder a system call)
constexpr uint64_t FINDER_BATCH = 256;         // records released that wake a sleeping finder
constexpr uint64_t PUBLISH_EVERY = 8;          // records the finder publishes at once
constexpr uint64_t RELEASE_EVERY = 32;         // takes between the parse's reports of released records
constexpr int SPINS = 256;
constexpr int YIELDS = 32;
constexpr auto NAP = std::chrono::milliseconds(2);   // a sleeper looks again at least this often
// While the parse waits for records, it has the pages the trie will take next
// backed (their clearing otherwise falls to the finder): this far ahead, at
// most once in so many takes.
constexpr uint64_t PREFAULT_BYTES = uint64_t{8} << 20;
constexpr uint64_t PREFAULT_EVERY = 1024;

// The index of skipped positions: every HOLE_STRIDE-th one, by the hash of
// its next HOLE_KEY bytes (hashed from four words across them: short keys
// recur too often in machine code, and a long match covers a long key). A
// match of more than LONG_MATCH_LENGTH bytes from a source s in a skipped
// stretch that runs on HOLE_STRIDE bytes past s has an indexed position
// within HOLE_STRIDE bytes of s, its key inside the match.
constexpr uint32_t HOLE_STRIDE = 64;
constexpr uint32_t HOLE_KEY = 200;
static_assert(HOLE_STRIDE + HOLE_KEY <= LONG_MATCH_LENGTH);
// Slots probed per key: copies of one key keep their places until the probes
// are all taken (x86 code repeats a 200-byte key dozens of times).
constexpr uint32_t HOLE_PROBES = 16;
constexpr int HOLE_SOURCES = 4;   // positions with the same next bytes tried for one hit
constexpr int HOLE_TRIES = 64;    // hits tried for one position, nearest first
// Distances of the latest longest candidates kept: the parse's repeat
// distances come from among them, and in x86 code, where the longest
// candidate's distance changes from position to position, lists of 8 and
// of 32 lost ones that the parse still used (and then jumped at). Every
// position looks at them, four at a time.
constexpr int RECENT_DISTANCES = 64;
// A position leaves the trie when a newer one shares its next bytes as far
// as a leaf compares (256 past the leaf's depth), so a candidate this long
// may stand for an older source that matches further.
constexpr uint32_t SHARED_BYTES = 256;

enum : uint8_t { RECORD_FOUND, RECORD_STOP, RECORD_FAILED };

struct FeedRecord {
    uint64_t pair_at;   // first candidate, counted over the ring's life
    uint32_t position;  // searched; a stop: where the finder would go on
    int32_t last;
    uint32_t depth;
    uint8_t kind;
};

std::atomic<bool> threads_for_all{false};
std::atomic<bool> no_long_stop{false};
std::atomic<uint64_t> start_count{0};
std::atomic<uint64_t> retry_count{0};

inline void cpu_relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

} // namespace

struct MatchFeed {
    MatchFinder mf;
    uint32_t max_distance;
    FeedStops stops;                  // positions the finder stops after
    int64_t retry_at = -1;            // the position the parse jumped from (FEED_RETRY)
    PlatformThread* thread = nullptr;

    alignas(64) std::atomic<uint64_t> produced{0};   // records published (finder)
    alignas(64) std::atomic<uint64_t> released{0};   // records the parse is done with (parse)
    alignas(64) std::atomic<uint32_t> gen{0};        // orders posted
    std::atomic<uint32_t> end{0};                    // the finder searches positions below it
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> parse_wants{0};            // 0, or the count of records that wakes the parse
    std::atomic<uint64_t> finder_wants{0};           // 0, or the count released that wakes the finder
    uint32_t start = 0;                              // of the latest order (mutex)
    uint32_t order_reps[FEED_REPS] = {};             // the parse's repeat distances there (mutex)
    int order_rep_count = 0;
    uint32_t next_reps[FEED_REPS] = {};              // the parse's, for its next order
    int next_rep_count = 0;
    std::mutex mutex;
    std::condition_variable wake;

    // The parse's side.
    alignas(64) uint64_t taken = 0;   // records taken; the last one taken is in use
    uint32_t expected = 0;            // position of the finder's next record, unless stopped
    uint32_t order_end = 0;
    bool stopped = true;              // the finder waits for an order
    uint64_t prefault_at = 0;         // takes before the next prefault

    FeedRecord records[FEED_RECORDS];
    MatchPair pairs[FEED_PAIRS];
};

namespace {

void wake_all(MatchFeed* f)
{
    std::lock_guard<std::mutex> lock(f->mutex);
    f->wake.notify_all();
}

// Spins, yields, then sleeps until `ready` (checked with the lock held once
// asleep); `set_wants` records what wakes this side before each check.
template <class Ready, class Wants>
bool wait_for_it(MatchFeed* f, Ready ready, Wants set_wants, std::atomic<uint64_t>& wants)
{
    for (int i = 0; i < SPINS + YIELDS; ++i) {
        if (ready())
            return true;
        if (f->stop.load(std::memory_order_relaxed))
            return false;
        if (i < SPINS)
            cpu_relax();
        else
            std::this_thread::yield();
    }
    std::unique_lock<std::mutex> lock(f->mutex);
    for (;;) {
        set_wants();
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (ready() || f->stop.load(std::memory_order_relaxed))
            break;
        f->wake.wait_for(lock, NAP);
    }
    wants.store(0, std::memory_order_relaxed);
    return !f->stop.load(std::memory_order_relaxed);
}

// The finder's side: publishes records up to `count`, waking the parse when
// it waits for them (always for a stop or a failure).
void publish(MatchFeed* f, uint64_t count, bool marker)
{
    f->produced.store(count, std::memory_order_release);
    if (marker)
        std::atomic_thread_fence(std::memory_order_seq_cst);
    const uint64_t w = f->parse_wants.load(std::memory_order_relaxed);
    if (w && (marker || count >= w))
        wake_all(f);
}

struct HoleEntry {
    uint32_t check;      // 0: empty
    uint32_t position;
};

inline uint64_t hole_hash(const uint8_t* p)
{
    const uint64_t h = load_le64(p) * 0x9E3779B97F4A7C15ull ^ load_le64(p + 64) * 0xC2B2AE3D27D4EB4Full ^
                       load_le64(p + 128) * 0x165667B19E3779F9ull ^ load_le64(p + HOLE_KEY - 8) * 0xD6E8FEB86659FD93ull;
    return h ^ (h >> 29);
}

struct Finder {
    MatchFeed* f = nullptr;
    uint32_t max_distance = 0;
    uint64_t produced = 0;
    uint64_t pair_at = 0;
    FeedStops stops;
    int next_stop = 0;
    // Distances of the latest longest candidates, newest first: the
    // parse's repeat distances come from them, and their sources may have
    // left the trie.
    uint32_t recent[RECENT_DISTANCES] = {};
    // The last position through which no match of more than
    // LONG_MATCH_LENGTH bytes at recent[i] starts (a fact of the block's
    // bytes: it holds across stops and jumps; 0: not known; NEVER for an
    // empty entry or a distance the parse does not take). Such a match
    // from any q in [p, p + FAR_WORD] covers the 8 bytes at p + FAR_WORD,
    // so where those differ at the distance, none starts there; and where a
    // distance matches l <= LONG_MATCH_LENGTH bytes at p, it matches l - k
    // at p + k for k up to l.
    static constexpr uint32_t FAR_WORD = LONG_MATCH_LENGTH + 1 - 8;
    static constexpr uint32_t NEVER = 0xFFFFFFFFu;
    uint32_t short_through[RECENT_DISTANCES];

    // The lists are looked at for every position, so in groups of four.
    using Lanes = uint32_t __attribute__((vector_size(16)));
    static_assert(RECENT_DISTANCES % 32 == 0 && RECENT_DISTANCES <= 64);
    // Bit i for each i where a[i] `test` v.
    template <class Test>
    static uint64_t lanes_where(const uint32_t* a, uint32_t v, Test test)
    {
        uint64_t where = 0;
        for (int half = 0; half < RECENT_DISTANCES / 32; ++half) {
            Lanes bits = {};
            for (int g = 0; g < 8; ++g) {
                Lanes x;
                std::memcpy(&x, a + 32 * half + 4 * g, sizeof x);
                const Lanes weight = Lanes{1u, 2u, 4u, 8u} << (4 * g);
                bits |= reinterpret_cast<Lanes>(test(x, v)) & weight;
            }
            where |= uint64_t{bits[0] | bits[1] | bits[2] | bits[3]} << (32 * half);
        }
        return where;
    }
    // The entries that may start a long match at the position being
    // searched (bit i: recent[i]), found as its search starts.
    uint64_t due = 0;
    void find_due(uint32_t pos)
    {
        due = lanes_where(short_through, pos, [](Lanes x, uint32_t v) { return x < v; });
    }

    void recent_add(uint32_t d)
    {
        if (recent[0] == d)
            return;
        const uint64_t same = lanes_where(recent, d, [](Lanes x, uint32_t v) { return x == v; });
        const int i = same ? __builtin_ctzll(same) : RECENT_DISTANCES - 1;
        const uint32_t through = same ? short_through[i] : d > max_distance ? NEVER : 0;
        std::copy_backward(recent, recent + i, recent + i + 1);
        std::copy_backward(short_through, short_through + i, short_through + i + 1);
        recent[0] = d;
        short_through[0] = through;
    }
    // Whether a match of more than LONG_MATCH_LENGTH bytes starts at pos at
    // one of the recent distances (those `due` for pos).
    bool long_at_recent(uint32_t pos)
    {
        const uint8_t* block = f->mf.block;
        const uint32_t limit = std::min(f->mf.block_size - pos, LONG_MATCH_LENGTH + 1);
        if (limit <= LONG_MATCH_LENGTH)
            return false;
        const uint64_t far = load_le64(block + pos + FAR_WORD);
        for (uint64_t left = due; left; left &= left - 1) {
            const int i = __builtin_ctzll(left);
            const uint32_t d = recent[i];
            if (d > pos)
                continue;
            if (load_le64(block + pos + FAR_WORD - d) != far) {
                short_through[i] = pos + FAR_WORD;
                continue;
            }
            const uint32_t l = common_prefix(block + pos - d, block + pos, 0, limit);
            if (l > LONG_MATCH_LENGTH)
                return true;
            short_through[i] = pos + l;
        }
        return false;
    }

    // Distances from skipped stretches known to match at most
    // LONG_MATCH_LENGTH bytes for a while: where d matches l such bytes at p,
    // it matches fewer at each position up to p + l. Each hit in the
    // look-ahead asks about a distance, and the hits of one copy all ask
    // about the same one, position after position.
    struct ShortDistance {
        uint32_t d;
        uint32_t from, through;
    };
    static constexpr uint32_t SHORT_BITS = 10;
    static constexpr uint32_t SHORT_WORTH = 16;   // shorter matches are compared again
    ShortDistance short_known[1u << SHORT_BITS] = {};
    // Whether distance d matches more than LONG_MATCH_LENGTH bytes at pos,
    // comparing at most `limit` bytes.
    bool long_at(uint32_t d, uint32_t pos, uint32_t limit)
    {
        ShortDistance& e = short_known[(d * 0x9E3779B97F4A7C15ull) >> (64 - SHORT_BITS)];
        if (e.d == d && e.from <= pos && pos <= e.through)
            return false;
        const uint8_t* block = f->mf.block;
        const uint32_t l = common_prefix(block + pos - d, block + pos, 0, limit);
        if (l > LONG_MATCH_LENGTH)
            return true;
        if (l >= SHORT_WORTH)
            e = ShortDistance{d, pos, pos + l};
        return false;
    }

    // Skipped positions, and the look-ahead over them.
    std::unique_ptr<HoleEntry[]> holes;
    uint32_t hole_mask = 0;

    // Leaves taken over, by the position whose search took them: r took q's
    // leaf, and they share `shared` bytes (at most LONG_MATCH_LENGTH + 1).
    // An open-addressed table of at most half its slots; once full, what it
    // cannot hold from `full_from` on is unknown.
    struct Dropped {
        uint32_t by;   // r + 1; 0: empty
        uint32_t leaf;
        uint32_t shared;
    };
    Dropped* dropped = nullptr;
    uint32_t dropped_mask = 0, dropped_count = 0, full_from = UINT32_MAX;
    ~Finder() { std::free(dropped); }
    static uint32_t dropped_slot(uint32_t r) { return static_cast<uint32_t>((r * 0x9E3779B97F4A7C15ull) >> 32); }
    void dropped_add(uint32_t r, uint32_t q, uint32_t shared)
    {
        if (!dropped && full_from == UINT32_MAX) {
            uint32_t size = 1024;
            while (size < f->mf.block_size / 32)
                size *= 2;
            dropped = static_cast<Dropped*>(std::calloc(size, sizeof(Dropped)));
            dropped_mask = size - 1;
        }
        if (!dropped || 2 * (dropped_count + 1) > dropped_mask + 1) {
            full_from = std::min(full_from, r);
            return;
        }
        uint32_t i = dropped_slot(r) & dropped_mask;
        while (dropped[i].by != 0)
            i = (i + 1) & dropped_mask;
        dropped[i] = Dropped{r + 1, q, shared};
        ++dropped_count;
    }
    // 1: r took a leaf (*d), 0: it took none, -1: unknown.
    int dropped_find(uint32_t r, Dropped* d) const
    {
        if (dropped)
            for (uint32_t i = dropped_slot(r) & dropped_mask; dropped[i].by != 0; i = (i + 1) & dropped_mask)
                if (dropped[i].by == r + 1) {
                    *d = dropped[i];
                    return 1;
                }
        return r >= full_from ? -1 : 0;
    }
    bool long_from_dropped(uint32_t leaf, uint32_t pos)
    {
        const uint8_t* block = f->mf.block;
        const uint32_t limit = std::min(f->mf.block_size - pos, LONG_MATCH_LENGTH + 1);
        if (limit <= LONG_MATCH_LENGTH)
            return false;
        uint32_t c = leaf;
        uint32_t l = common_prefix(block + c, block + pos, 0, limit);
        for (int step = 0; step < 256; ++step) {
            if (l > LONG_MATCH_LENGTH)
                return true;
            Dropped d;
            const int found = dropped_find(c, &d);
            if (found <= 0)
                return found < 0;
            c = d.leaf;
            l = d.shared != l ? std::min(l, d.shared) : common_prefix(block + c, block + pos, 0, limit);
        }
        return true;
    }
    uint32_t looked = 0;                 // next position looked up
    uint32_t last_hit = 0;               // latest position looked up that was found + 1
    uint32_t hit_at[HOLE_STRIDE] = {};   // by position mod HOLE_STRIDE: found + 1, and where
    uint32_t hit_source[HOLE_STRIDE][HOLE_SOURCES] = {};
    int hit_count[HOLE_STRIDE] = {};

    // The indexed position whose next HOLE_KEY bytes are those at `at`, or -1.
    // A filter in front of the index, small enough to stay in the cache: the
    // index itself costs a cache miss for each position looked up.
    static constexpr uint32_t HOLE_FILTER_BITS = 20;
    std::unique_ptr<uint64_t[]> hole_filter;
    static uint32_t hole_filter_bit(uint64_t h) { return static_cast<uint32_t>(h >> (64 - HOLE_FILTER_BITS)); }
    static constexpr uint32_t HOLE_PREFETCH = 4;
    // The keys' hashes of the positions being looked up, each computed once
    // (the prefetches ask for them first).
    static constexpr uint32_t HASHED = 4 * HOLE_PREFETCH;
    uint64_t hashed[HASHED] = {};
    uint32_t hashed_at[HASHED] = {};   // position + 1
    uint64_t key_hash(uint32_t at)
    {
        const uint32_t i = at % HASHED;
        if (hashed_at[i] != at + 1) {
            hashed[i] = hole_hash(f->mf.block + at);
            hashed_at[i] = at + 1;
        }
        return hashed[i];
    }

    // The indexed positions whose next HOLE_KEY bytes are those at `at` (at
    // most HOLE_SOURCES of them, each below `at`): their count.
    int hole_find(uint32_t at, uint64_t h, uint32_t* sources) const
    {
        const uint8_t* block = f->mf.block;
        const uint32_t bit = hole_filter_bit(h);
        if (!((hole_filter[bit >> 6] >> (bit & 63)) & 1))
            return 0;
        const uint32_t check = static_cast<uint32_t>(h >> 32) | 1;
        int found = 0;
        for (uint32_t i = 0; i < HOLE_PROBES && found < HOLE_SOURCES; ++i) {
            const HoleEntry& e = holes[(static_cast<uint32_t>(h) + i) & hole_mask];
            if (e.check == 0)
                break;
            if (e.check == check && e.position < at && std::memcmp(block + e.position, block + at, HOLE_KEY) == 0)
                sources[found++] = e.position;
        }
        return found;
    }
    // Positions [from, to) will never be in the trie.
    void holes_add(uint32_t from, uint32_t to)
    {
        const uint8_t* block = f->mf.block;
        const uint32_t n = f->mf.block_size;
        if (!holes) {
            uint32_t size = 64;
            while (size < 2 * (n / HOLE_STRIDE) + 64)
                size *= 2;
            holes.reset(new (std::nothrow) HoleEntry[size]());
            hole_filter.reset(new (std::nothrow) uint64_t[(size_t{1} << HOLE_FILTER_BITS) / 64]());
            if (!holes || !hole_filter) {
                holes.reset();
                return;
            }
            hole_mask = size - 1;
        }
        // Every HOLE_STRIDE-th position, and each of the last HOLE_STRIDE: a
        // source there has no indexed position after it within the stretch.
        const uint32_t tail = to - std::min(to - from, HOLE_STRIDE);
        for (uint32_t at = (from + HOLE_STRIDE - 1) / HOLE_STRIDE * HOLE_STRIDE; at < to && at + HOLE_KEY <= n;
             at = at + HOLE_STRIDE <= tail ? at + HOLE_STRIDE : std::max(at + 1, tail)) {
            const uint64_t h = hole_hash(block + at);
            const uint32_t check = static_cast<uint32_t>(h >> 32) | 1;
            const uint32_t bit = hole_filter_bit(h);
            hole_filter[bit >> 6] |= uint64_t{1} << (bit & 63);
            // Positions with the same next bytes each get an entry; where the
            // probes are all taken, the newest replaces the oldest of them.
            HoleEntry* oldest = nullptr;
            for (uint32_t i = 0; i < HOLE_PROBES; ++i) {
                HoleEntry& e = holes[(static_cast<uint32_t>(h) + i) & hole_mask];
                if (e.check == 0) {
                    oldest = &e;
                    break;
                }
                if (e.check == check && (!oldest || e.position < oldest->position) &&
                    std::memcmp(block + e.position, block + at, HOLE_KEY) == 0)
                    oldest = &e;
            }
            if (oldest)
                *oldest = HoleEntry{check, at};
        }
        std::memset(hit_at, 0, sizeof hit_at);
        last_hit = 0;
        looked = to;
    }
    // Whether a match of more than LONG_MATCH_LENGTH bytes may start at `pos`
    // from a skipped position.
    bool long_from_hole(uint32_t pos)
    {
        if (!holes)
            return false;
        const uint32_t n = f->mf.block_size;
        if (n < HOLE_KEY)
            return false;
        const uint32_t ahead = std::min(pos + HOLE_STRIDE - 1, n - HOLE_KEY);
        for (looked = std::max(looked, pos); looked <= ahead; ++looked) {
            // The filter's word for a position a few ahead, then, once that
            // word is in, the index's slot where the filter lets it through:
            // both would otherwise be a cache miss each here.
            if (looked + 2 * HOLE_PREFETCH <= n - HOLE_KEY)
                __builtin_prefetch(&hole_filter[hole_filter_bit(key_hash(looked + 2 * HOLE_PREFETCH)) >> 6]);
            if (looked + HOLE_PREFETCH <= n - HOLE_KEY) {
                const uint64_t h = key_hash(looked + HOLE_PREFETCH);
                const uint32_t bit = hole_filter_bit(h);
                if ((hole_filter[bit >> 6] >> (bit & 63)) & 1)
                    __builtin_prefetch(&holes[static_cast<uint32_t>(h) & hole_mask]);
            }
            const uint32_t slot = looked % HOLE_STRIDE;
            hit_count[slot] = hole_find(looked, key_hash(looked), hit_source[slot]);
            if (hit_count[slot] > 0) {
                hit_at[slot] = looked + 1;
                last_hit = looked + 1;
            }
        }
        if (last_hit <= pos)
            return false;
        // A source s of a match at pos shows as a hit at pos + k from s + k.
        const uint32_t limit = std::min(n - pos, LONG_MATCH_LENGTH + 1);
        int tries = 0;
        for (uint32_t at = pos; at < last_hit && tries < HOLE_TRIES; ++at) {
            const uint32_t slot = at % HOLE_STRIDE;
            if (hit_at[slot] != at + 1)
                continue;
            ++tries;
            for (int i = 0; i < hit_count[slot]; ++i) {
                if (hit_source[slot][i] < at - pos)
                    continue;
                const uint32_t s = hit_source[slot][i] - (at - pos);
                if (pos - s <= max_distance && long_at(pos - s, pos, limit))
                    return true;
            }
        }
        return false;
    }

    // Room for one record and candidates up to `pairs_end`.
    // The count released as last read: the parse's line is read again only
    // when that leaves no room, not at every position.
    uint64_t seen_released = 0;
    bool fits(uint64_t pairs_end) const
    {
        if (produced - seen_released >= FEED_RECORDS)
            return false;
        return seen_released == produced ||
               pairs_end - f->records[seen_released % FEED_RECORDS].pair_at <= FEED_PAIRS;
    }
    bool room_for(uint64_t pairs_end)
    {
        if (fits(pairs_end))
            return true;
        seen_released = f->released.load(std::memory_order_acquire);
        return fits(pairs_end);
    }
    // Records are published PUBLISH_EVERY at a time: each store of the count
    // takes its line from the parse, which reads it while it waits.
    uint64_t published = 0;
    // `wake`: the parse is woken however few records it has.
    void flush(bool wake = false)
    {
        if (published != produced || wake) {
            published = produced;
            publish(f, produced, wake);
        }
    }
    bool wait_room(uint64_t pairs_end)
    {
        if (room_for(pairs_end))
            return true;
        flush();
        // The parse may sleep waiting for records it cannot have before this room.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (f->parse_wants.load(std::memory_order_relaxed))
            wake_all(f);
        return wait_for_it(
            f, [&] { return room_for(pairs_end); },
            [&] {
                const uint64_t released = f->released.load(std::memory_order_relaxed);
                f->finder_wants.store(std::min(released + FINDER_BATCH, produced), std::memory_order_relaxed);
            },
            f->finder_wants);
    }
    bool put_marker(uint8_t kind, uint32_t position)
    {
        if (!wait_room(pair_at))
            return false;
        f->records[produced % FEED_RECORDS] = FeedRecord{pair_at, position, -1, 0, kind};
        publish(f, published = ++produced, true);
        return true;
    }
    // Waits for the order after `seen`; false when told to stop.
    bool wait_order(uint32_t seen, uint32_t* start)
    {
        for (int i = 0; i < SPINS + YIELDS; ++i) {
            if (f->gen.load(std::memory_order_acquire) != seen || f->stop.load(std::memory_order_relaxed))
                break;
            if (i < SPINS)
                cpu_relax();
            else
                std::this_thread::yield();
        }
        std::unique_lock<std::mutex> lock(f->mutex);
        while (f->gen.load(std::memory_order_relaxed) == seen && !f->stop.load(std::memory_order_relaxed))
            f->wake.wait_for(lock, NAP);
        *start = f->start;
        // A jump carries the parse's repeat distances: matches at them may make it jump again.
        for (int i = f->order_rep_count - 1; i >= 0; --i)
            if (f->order_reps[i] != 0)
                recent_add(f->order_reps[i]);
        return !f->stop.load(std::memory_order_relaxed);
    }

    void run()
    {
        MatchFinder& mf = f->mf;
        const uint8_t* const block = mf.block;
        const uint32_t n = mf.block_size;
        const bool stop_at_long = !no_long_stop.load(std::memory_order_relaxed);
        uint32_t seen = 0, pos = 0;
        uint32_t next = 1;   // past the last position inserted (mf_create holds 0)
        while (wait_order(seen, &pos)) {
            seen = f->gen.load(std::memory_order_relaxed);
            if (pos > next && stop_at_long)
                holes_add(next, pos);
            for (;;) {
                if (f->stop.load(std::memory_order_relaxed))
                    return;
                if (pos >= f->end.load(std::memory_order_acquire)) {
                    // The parse may lengthen the order when its next window goes
                    // on here, once it has taken every record before.
                    flush(true);
                    int spins = SPINS;
                    while (spins-- > 0 && pos >= f->end.load(std::memory_order_acquire))
                        cpu_relax();
                    if (pos >= f->end.load(std::memory_order_acquire)) {
                        if (!put_marker(RECORD_STOP, pos))
                            return;
                        break;
                    }
                }
                const uint32_t limit = std::min(n - pos, MATCH_LIMIT);
                // The ring's lines the next records go to were last read by
                // the parse: they are taken back during the search.
                __builtin_prefetch(f->pairs + (pair_at + 8) % FEED_PAIRS, 1);
                __builtin_prefetch(f->pairs + (pair_at + 16) % FEED_PAIRS, 1);
                __builtin_prefetch(&f->records[(produced + 3) % FEED_RECORDS], 1);
                // The recent distances' sources load during the search.
                find_due(pos);
                for (uint64_t left = due; left; left &= left - 1) {
                    const uint32_t d = recent[__builtin_ctzll(left)];
                    if (d <= pos)
                        __builtin_prefetch(block + pos + FAR_WORD - d);
                }
                uint64_t at = pair_at;
                if (at % FEED_PAIRS + limit + 1 > FEED_PAIRS)
                    at += FEED_PAIRS - at % FEED_PAIRS;
                if (!wait_room(at + limit + 1))
                    return;
                MatchPair* pairs = f->pairs + at % FEED_PAIRS;
                int last = -1;
                uint32_t depth = 0;
                if (!mf_find(&mf, pos, limit, pairs, &last, &depth)) {
                    // The trie is fit only to be released: nothing more is searched.
                    if (put_marker(RECORD_FAILED, pos))
                        while (wait_order(seen, &pos))
                            seen = f->gen.load(std::memory_order_relaxed);
                    return;
                }
                const uint32_t reach = std::min(n - pos, LONG_MATCH_LENGTH + 1);
                if (mf.replaced != NO_POSITION) {
                    // The search has seen the two share depth + SHARED_BYTES bytes (as far as it looked).
                    dropped_add(pos, mf.replaced,
                                common_prefix(block + mf.replaced, block + pos,
                                              std::min({depth + SHARED_BYTES, limit, reach}), reach));
                }
                f->records[produced % FEED_RECORDS] = FeedRecord{at, pos, last, depth, RECORD_FOUND};
                pair_at = at + static_cast<uint64_t>(last + 1);
                // A match longer than LONG_MATCH_LENGTH makes the parse jump, and
                // one that may be: from a leaf the trie let go (a repeat
                // distance may still point there), a recent distance, or a
                // skipped stretch.
                int k = last;
                while (k >= 0 && pos - pairs[k].position > max_distance)
                    --k;
                // A search that ended below a leaf it kept has seen the longest
                // candidate match at most `depth` bytes: too few to matter here.
                const bool short_known =
                    k < 0 || (k == last && mf.replaced == NO_POSITION && depth <= LONG_MATCH_LENGTH - SHARED_BYTES);
                const uint32_t line = mf.replaced != NO_POSITION ? mf.replaced : short_known ? 0 : pairs[last].position;
                if (!short_known) {
                    __builtin_prefetch(block + pairs[k].position + pairs[k].length);
                    if (dropped)
                        __builtin_prefetch(&dropped[dropped_slot(line) & dropped_mask]);
                }
                while (next_stop < stops.count && stops.at[next_stop] < pos)
                    ++next_stop;
                const uint32_t ext =
                    short_known ? 0 : common_prefix(block + pairs[k].position, block + pos, pairs[k].length, reach);
                const bool long_match =
                    (next_stop < stops.count && stops.at[next_stop] == pos) ||
                    (stop_at_long && (ext > LONG_MATCH_LENGTH ||
                                      (ext > LONG_MATCH_LENGTH - SHARED_BYTES && long_from_dropped(line, pos)) ||
                                      long_at_recent(pos) || long_from_hole(pos)));
                if (k >= 0)
                    recent_add(pos - pairs[k].position);
                next = ++pos;
                if (++produced - published >= PUBLISH_EVERY)
                    flush();
                if (long_match) {
                    if (!put_marker(RECORD_STOP, pos))
                        return;
                    break;
                }
            }
        }
    }
};

int finder_body(void* arg)
{
    auto* f = static_cast<MatchFeed*>(arg);
    Finder finder{};
    finder.f = f;
    finder.max_distance = f->max_distance;
    finder.stops = f->stops;
    std::fill(finder.short_through, finder.short_through + RECENT_DISTANCES, Finder::NEVER);
    finder.run();
    return 0;
}

// The parse's side: the next record, waiting for it.
const FeedRecord& next_record(MatchFeed* f)
{
    const uint64_t k = f->taken;
    // Records before k are done with (the one taken last is in use until now).
    if (k % RELEASE_EVERY == 0 || f->produced.load(std::memory_order_acquire) <= k) {
        f->released.store(k, std::memory_order_release);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        const uint64_t w = f->finder_wants.load(std::memory_order_relaxed);
        if (w && k >= w)
            wake_all(f);
    }
    if (f->produced.load(std::memory_order_acquire) <= k) {
        // The finder may sleep for room that only the released records give.
        if (f->finder_wants.load(std::memory_order_relaxed))
            wake_all(f);
        if (k >= f->prefault_at) {
            pool_prefault(PREFAULT_BYTES);
            f->prefault_at = k + PREFAULT_EVERY;
        }
        wait_for_it(
            f, [&] { return f->produced.load(std::memory_order_acquire) > k; },
            [&] { f->parse_wants.store(k + PARSE_BATCH, std::memory_order_relaxed); }, f->parse_wants);
    }
    f->taken = k + 1;
    return f->records[k % FEED_RECORDS];
}

void post_order(MatchFeed* f, uint32_t start, uint32_t end)
{
    {
        std::lock_guard<std::mutex> lock(f->mutex);
        f->start = start;
        std::copy(f->next_reps, f->next_reps + f->next_rep_count, f->order_reps);
        f->order_rep_count = f->next_rep_count;
        f->end.store(end, std::memory_order_relaxed);
        f->gen.store(f->gen.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        f->wake.notify_all();
    }
    f->stopped = false;
    f->next_rep_count = 0;
    f->expected = start;
    f->order_end = end;
}

} // namespace

MatchFeed* feed_start(const MatchFinder& mf, uint32_t max_distance, const FeedStops& stops)
{
    auto* f = new (std::nothrow) MatchFeed;
    if (!f)
        return nullptr;
    f->mf = mf;
    f->max_distance = max_distance;
    f->stops = stops;
    f->thread = thread_create(finder_body, f, CODEC_THREAD_STACK);
    if (!f->thread) {
        delete f;
        return nullptr;
    }
    start_count.fetch_add(1, std::memory_order_relaxed);
    return f;
}

int feed_take(MatchFeed* f, uint32_t pos, uint32_t window_end, const MatchPair** pairs, int* last, uint32_t* depth)
{
    if (!f->stopped && pos == f->expected && window_end > f->order_end) {
        // The parse goes on in order into its next window: so may the finder.
        f->order_end = window_end;
        f->end.store(window_end, std::memory_order_release);
    }
    for (;;) {
        if (f->stopped)
            post_order(f, pos, window_end);
        const FeedRecord& r = next_record(f);
        if (r.kind == RECORD_STOP) {
            f->stopped = true;
            continue;
        }
        if (r.position != pos) {
            break;   // the finder has searched positions the parse skips
        }
        f->expected = pos + 1;
        if (r.kind == RECORD_FAILED)
            return FEED_FAIL;
        *pairs = f->pairs + r.pair_at % FEED_PAIRS;
        *last = r.last;
        *depth = r.depth;
        return FEED_OK;
    }
    retry_count.fetch_add(1, std::memory_order_relaxed);
    f->retry_at = f->expected - 1;
    return FEED_RETRY;
}

void feed_note_reps(MatchFeed* f, const uint32_t* reps, int count)
{
    f->next_rep_count = std::min(count, FEED_REPS);
    std::copy(reps, reps + f->next_rep_count, f->next_reps);
}

void feed_stop(MatchFeed* f, FeedStops* stops)
{
    if (!f)
        return;
    if (f->retry_at >= 0 && stops->count < FEED_ATTEMPTS) {
        int i = stops->count++;
        for (; i > 0 && stops->at[i - 1] > f->retry_at; --i)
            stops->at[i] = stops->at[i - 1];
        stops->at[i] = static_cast<uint32_t>(f->retry_at);
    }
    f->stop.store(true);
    wake_all(f);
    thread_join(f->thread);
    delete f;
}

void feed_test_force(bool all_blocks, bool never_stop_at_long)
{
    threads_for_all.store(all_blocks);
    no_long_stop.store(never_stop_at_long);
}

FeedCounts feed_counts() { return {start_count.load(), retry_count.load()}; }

bool feed_wanted(uint32_t block_size, uint8_t helpers, const FeedStops& stops)
{
    return helpers > 0 && stops.count < FEED_ATTEMPTS &&
           (block_size >= FEED_MIN_BLOCK || threads_for_all.load(std::memory_order_relaxed));
}

} // namespace qrn
