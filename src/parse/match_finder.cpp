#include "parse/match_finder.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"

namespace qrn {

namespace {

constexpr uint32_t LEAF_MARK = 0xC0000000u;
constexpr uint32_t POSITION_MASK = 0x3FFFFFFFu;
constexpr uint32_t LEAF_COMPARE = 256;       // bytes compared at a leaf

constexpr uint32_t SMALL_MAX_CHILDREN = 32;
constexpr uint32_t BITMAP_MAX_CHILDREN = 246;
constexpr uint32_t FIRST_BITMAP_CLASS = 32;
constexpr uint32_t DIRECT_CLASS = 254;
constexpr uint32_t EDGE_CLASS_BASE = 255;    // an edge of L bytes has class 255 + L
constexpr uint32_t EDGE_BYTES = 8;
constexpr uint32_t DIRECT_BYTES = 1028;
constexpr uint32_t BITMAP_WORDS = 8;         // offset of the bitmap words
constexpr uint32_t BITMAP_CHILDREN = 40;     // offset of a bitmap branch's children

constexpr uint32_t small_bytes(uint32_t n) { return 5 * n + 4; }
constexpr uint32_t bitmap_bytes(uint32_t n) { return 4 * n + 40; }

struct Trie {
    uint8_t* base;
    SegmentPool* pool;
    uint32_t mark;   // leaf mark of the position being inserted

    uint8_t* node(uint32_t ref) const { return base + (uint64_t(ref) << 3); }
    uint32_t ref(const uint8_t* node) const { return static_cast<uint32_t>(uint64_t(node - base) >> 3); }
    uint8_t* alloc(uint32_t bytes, uint32_t cls) const
    {
        return static_cast<uint8_t*>(pool_alloc(pool, bytes, cls));
    }
    void free(uint8_t* node) const { pool_free(pool, node); }
};

inline uint32_t stamp_of(const uint8_t* node) { return load_le32(node); }
inline void set_stamp(uint8_t* node, uint32_t mark) { store_le32(node, mark); }

inline uint8_t* new_edge(const Trie& t, uint32_t length, uint32_t stamp, uint32_t child)
{
    uint8_t* e = t.alloc(EDGE_BYTES, EDGE_CLASS_BASE + length);
    if (e) {
        set_stamp(e, stamp);
        store_le32(e + 4, child);
    }
    return e;
}

// A two-child branch: key a with child ca, key b with child cb (a != b).
inline uint8_t* new_pair(const Trie& t, uint8_t a, uint32_t ca, uint8_t b, uint32_t cb)
{
    uint8_t* n = t.alloc(small_bytes(2), 1);
    if (!n)
        return nullptr;
    if (b < a) {
        std::swap(a, b);
        std::swap(ca, cb);
    }
    set_stamp(n, t.mark);
    n[4] = a;
    n[5] = b;
    store_le32(n + 6, ca);
    store_le32(n + 10, cb);
    return n;
}

// Set bits of x, without the library call that the baseline instruction set needs.
inline uint32_t popcount64(uint64_t x)
{
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<uint32_t>((x * 0x0101010101010101ull) >> 56);
}

inline uint32_t bitmap_index(const uint8_t* node, uint32_t key)
{
    const uint64_t word = load_le64(node + BITMAP_WORDS + 8 * (key >> 6));
    return node[4 + (key >> 6)] + popcount64(word & ((uint64_t(1) << (key & 63)) - 1));
}

inline bool bitmap_has(const uint8_t* node, uint32_t key)
{
    return (load_le64(node + BITMAP_WORDS + 8 * (key >> 6)) >> (key & 63)) & 1;
}

// The child slot of `node` (a branch of class `cls`) under `key`, or null;
// `index` gets the sorted position of the key in a small branch.
inline uint8_t* find_child(uint8_t* node, uint32_t cls, uint8_t key, uint32_t* index)
{
    if (cls < FIRST_BITMAP_CLASS) {
        // Eight keys at a time: the key's byte is the one where the word and
        // the key repeated agree (the keys differ, so there is at most one).
        // The words stay inside the node, whose children follow its keys.
        const uint32_t n = cls + 1;
        constexpr uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
        const uint64_t pattern = 0x0101010101010101ull * key;
        for (uint32_t i = 0; i < n; i += 8) {
            const uint64_t t = load_le64(node + 4 + i) ^ pattern;
            uint64_t hit = ~(((t & LOW7) + LOW7) | t | LOW7);
            if (n - i < 8)
                hit &= (uint64_t{1} << (8 * (n - i))) - 1;
            if (hit)
                return node + 4 + n + 4 * (i + static_cast<uint32_t>(__builtin_ctzll(hit)) / 8);
        }
        uint32_t i = 0;
        while (i < n && node[4 + i] < key)
            ++i;
        *index = i;
        return nullptr;
    }
    if (cls == DIRECT_CLASS) {
        uint8_t* slot = node + 4 + 4 * uint32_t(key);
        return load_le32(slot) ? slot : nullptr;
    }
    return bitmap_has(node, key) ? node + BITMAP_CHILDREN + 4 * bitmap_index(node, key) : nullptr;
}

void set_bitmap_ranks(uint8_t* node)
{
    uint32_t rank = 0;
    for (uint32_t w = 0; w < 4; ++w) {
        node[4 + w] = static_cast<uint8_t>(rank);
        rank += popcount64(load_le64(node + BITMAP_WORDS + 8 * w));
    }
}

// Adds `key` with the current leaf to the branch at `slot`, replacing it by
// the next larger form where one is needed.
bool grow_branch(const Trie& t, uint8_t* slot, uint8_t* node, uint32_t cls, uint8_t key, uint32_t index)
{
    if (cls == DIRECT_CLASS) {
        store_le32(node + 4 + 4 * uint32_t(key), t.mark);
        return true;
    }
    uint8_t* grown;
    if (cls < FIRST_BITMAP_CLASS) {
        const uint32_t n = cls + 1;
        const uint8_t* keys = node + 4;
        const uint8_t* children = node + 4 + n;
        if (n < SMALL_MAX_CHILDREN) {
            grown = t.alloc(small_bytes(n + 1), n);
            if (!grown)
                return false;
            uint8_t* gkeys = grown + 4;
            uint8_t* gchildren = grown + 4 + n + 1;
            std::memcpy(gkeys, keys, index);
            gkeys[index] = key;
            std::memcpy(gkeys + index + 1, keys + index, n - index);
            std::memcpy(gchildren, children, 4 * index);
            store_le32(gchildren + 4 * index, t.mark);
            std::memcpy(gchildren + 4 * (index + 1), children + 4 * index, 4 * (n - index));
        } else {
            grown = t.alloc(bitmap_bytes(n + 1), FIRST_BITMAP_CLASS);
            if (!grown)
                return false;
            std::memset(grown, 0, bitmap_bytes(n + 1));
            uint8_t* gchildren = grown + BITMAP_CHILDREN;
            std::memcpy(gchildren, children, 4 * index);
            store_le32(gchildren + 4 * index, t.mark);
            std::memcpy(gchildren + 4 * (index + 1), children + 4 * index, 4 * (n - index));
            for (uint32_t i = 0; i <= n; ++i) {
                const uint32_t k = i < n ? keys[i] : key;
                uint8_t* word = grown + BITMAP_WORDS + 8 * (k >> 6);
                store_le64(word, load_le64(word) | uint64_t(1) << (k & 63));
            }
            set_bitmap_ranks(grown);
        }
    } else {
        const uint32_t n = cls + 1;
        if (n < BITMAP_MAX_CHILDREN) {
            grown = t.alloc(bitmap_bytes(n + 1), n);
            if (!grown)
                return false;
            std::memcpy(grown, node, bitmap_bytes(n));
            uint8_t* word = grown + BITMAP_WORDS + 8 * (key >> 6);
            store_le64(word, load_le64(word) | uint64_t(1) << (key & 63));
            for (uint32_t w = (key >> 6) + 1; w < 4; ++w)
                ++grown[4 + w];
            const uint32_t i = bitmap_index(grown, key);
            uint8_t* gchildren = grown + BITMAP_CHILDREN;
            std::memmove(gchildren + 4 * (i + 1), gchildren + 4 * i, 4 * (n - i));
            store_le32(gchildren + 4 * i, t.mark);
        } else {
            grown = t.alloc(DIRECT_BYTES, DIRECT_CLASS);
            if (!grown)
                return false;
            std::memset(grown, 0, DIRECT_BYTES);
            uint32_t i = 0;
            for (uint32_t k = 0; k < 256; ++k) {
                if (bitmap_has(node, k))
                    std::memcpy(grown + 4 + 4 * k, node + BITMAP_CHILDREN + 4 * i++, 4);
            }
            store_le32(grown + 4 + 4 * uint32_t(key), t.mark);
        }
    }
    set_stamp(grown, t.mark);
    t.free(node);
    store_le32(slot, t.ref(grown));
    return true;
}

// Where the current suffix leaves an old path after `shared` common bytes:
// a two-child branch (the old path's byte with its `old_child`, the current
// byte with the current leaf) under an edge of the shared bytes, if any,
// takes the place at `slot`.
bool fork(const Trie& t, uint8_t* slot, uint32_t shared, uint8_t old_byte, uint32_t old_child, uint8_t cur_byte)
{
    uint8_t* branch = new_pair(t, old_byte, old_child, cur_byte, t.mark);
    if (!branch)
        return false;
    uint32_t top = t.ref(branch);
    if (shared > 0) {
        uint8_t* e = new_edge(t, shared, t.mark, top);
        if (!e)
            return false;
        top = t.ref(e);
    }
    store_le32(slot, top);
    return true;
}

// Splits the edge at `slot` after its first k bytes, where the current
// suffix (byte `cur_byte`) leaves it (edge byte `edge_byte`).
bool split_edge(const Trie& t, uint8_t* slot, uint8_t* edge, uint32_t length, uint32_t k, uint8_t edge_byte,
                uint8_t cur_byte)
{
    uint32_t rest = load_le32(edge + 4);
    if (k + 1 < length) {
        uint8_t* e = new_edge(t, length - 1 - k, stamp_of(edge), rest);
        if (!e)
            return false;
        rest = t.ref(e);
    }
    if (!fork(t, slot, k, edge_byte, rest, cur_byte))
        return false;
    t.free(edge);
    return true;
}

// Node bytes of a branch of class `cls` (not an edge).
constexpr uint32_t branch_bytes(uint32_t cls)
{
    return cls < FIRST_BITMAP_CLASS ? small_bytes(cls + 1) : cls == DIRECT_CLASS ? DIRECT_BYTES : bitmap_bytes(cls + 1);
}

// Positions whose descents are walked ahead together.
constexpr int WALK_AHEAD = 16;

// One position's descent walked ahead of its search: it follows the path
// the search will take and has each node loaded (and the block bytes its
// edges and leaf are compared with), reading only. Each node of a descent
// is a cache miss that waits for the one before; walking several positions
// in step keeps as many misses in flight, and their searches then find the
// nodes in the cache. A walk ends where the search would (a missing child,
// a leaf, the limit) or at an edge whose first bytes differ.
struct Walk {
    uint8_t* base;
    const uint8_t* block;
    const uint8_t* at;     // the position's bytes
    uint32_t limit;        // its search's limit; 0 once the walk has ended
    uint32_t depth;
    uint32_t r;            // the next node, being loaded

    void load(uint32_t ref)
    {
        r = ref;
        if (r >= LEAF_MARK) {
            __builtin_prefetch(block + (r & POSITION_MASK) + depth);
            limit = 0;
            return;
        }
        const uint8_t* node = base + (uint64_t(r) << 3);
        __builtin_prefetch(node);
        const uint32_t cls = pool_class_of_reference(r);
        if (cls == DIRECT_CLASS)
            __builtin_prefetch(node + 4 + 4 * uint32_t(at[depth]));
        else if (cls < EDGE_CLASS_BASE && branch_bytes(cls) > 64)
            __builtin_prefetch(node + 64);
    }
    // One node further; false once the walk has ended.
    bool step()
    {
        if (depth >= limit)
            return false;
        uint8_t* node = base + (uint64_t(r) << 3);
        const uint32_t cls = pool_class_of_reference(r);
        uint32_t child;
        if (cls > EDGE_CLASS_BASE) {
            // The edge's bytes start at a position already in the trie, so
            // eight of them lie in the block wherever eight of ours do.
            const uint32_t length = cls - EDGE_CLASS_BASE;
            const uint8_t* edge = block + (stamp_of(node) & POSITION_MASK) + depth;
            if (limit - depth >= 8) {
                const uint64_t differ = load_le64(edge) ^ load_le64(at + depth);
                if (differ & (length >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * length)) - 1)) {
                    limit = 0;
                    return false;
                }
            }
            depth += length;
            child = load_le32(node + 4);
        } else {
            uint32_t index = 0;
            const uint8_t* slot = find_child(node, cls, at[depth], &index);
            if (!slot) {
                limit = 0;
                return false;
            }
            ++depth;
            child = load_le32(slot);
        }
        if (depth >= limit)
            return false;
        load(child);
        return true;
    }
};

// Walks the WALK_AHEAD positions after `pos` before `pos` is searched. The
// trie is then whole (a search changes nothing but stamps before its last
// step), so every reference a walk follows leads to a live node; later
// searches change the paths only where they insert.
void walk_ahead(MatchFinder* mf, uint32_t pos)
{
    const uint8_t* block = mf->block;
    Walk walks[WALK_AHEAD];
    int n = 0;
    for (; n < WALK_AHEAD && pos + 1 + n < mf->block_size; ++n) {
        const uint32_t at = pos + 1 + static_cast<uint32_t>(n);
        walks[n] = Walk{mf->base, block, block + at, std::min(MATCH_LIMIT, mf->block_size - at), 0,
                        load_le32(&mf->root)};
    }
    mf->walked = pos + 1 + static_cast<uint32_t>(n);
    for (bool going = true; going;) {
        going = false;
        for (int i = 0; i < n; ++i)
            going |= walks[i].step();
    }
}

} // namespace

bool mf_create(MatchFinder* mf, const uint8_t* block, uint32_t block_size, uint32_t first, SegmentPool* pool)
{
    mf->pool = pool;
    mf->block = block;
    mf->block_size = block_size;
    mf->walked = 0;
    void* root = pool_alloc(pool, EDGE_BYTES, EDGE_CLASS_BASE + 1);
    if (!root)
        return false;
    mf->base = pool_base();
    const Trie t{mf->base, pool, LEAF_MARK | first};
    uint8_t* e = static_cast<uint8_t*>(root);
    set_stamp(e, t.mark);
    store_le32(e + 4, t.mark);
    store_le32(&mf->root, t.ref(e));
    return true;
}

bool mf_find(MatchFinder* mf, uint32_t pos, uint32_t limit, MatchPair* pairs, int* last_out, uint32_t* depth)
{
    const Trie t{mf->base, mf->pool, LEAF_MARK | pos};
    const uint8_t* const block = mf->block;
    const uint8_t* const cur = block + pos;
    const uint8_t* const end = cur + limit;
    const uint8_t* const block_end = block + mf->block_size;
    const uint8_t* p = cur;
    uint8_t* slot = reinterpret_cast<uint8_t*>(&mf->root);
    mf->replaced = NO_POSITION;
    uint32_t prev = 0x7FFFFFFF;
    int last = -1;
    if (pos + 1 >= mf->walked)
        walk_ahead(mf, pos);
    // A deeper node holding the same position as the one above it only
    // lengthens that candidate.
    auto record = [&](uint32_t length, uint32_t position) {
        if (position < prev)
            ++last;
        pairs[last] = MatchPair{length, position};
        prev = position;
    };

    for (;;) {
        const uint32_t r = load_le32(slot);
        if (r >= LEAF_MARK) {
            const uint32_t q = r & POSITION_MASK;
            const uint32_t d = static_cast<uint32_t>(p - cur);
            record(d, q);
            const uint32_t m = std::min(static_cast<uint32_t>(end - p), LEAF_COMPARE);
            const uint8_t* older = block + q + d;
            const uint32_t j = common_prefix(older, p, 0, m);
            if (j == m) {
                // The same bytes as far as is looked: the newer position takes the leaf's place.
                store_le32(slot, t.mark);
                mf->replaced = q;
                *depth = d;
                break;
            }
            if (!fork(t, slot, j, older[j], r, p[j]))
                return false;
            *depth = d + j + 1;
            break;
        }
        uint8_t* node = t.node(r);
        record(static_cast<uint32_t>(p - cur), stamp_of(node) & POSITION_MASK);
        const uint32_t cls = pool_class_of_reference(r);
        if (cls > EDGE_CLASS_BASE) {
            const uint32_t length = cls - EDGE_CLASS_BASE;
            // The edge's bytes, read from its stamp's suffix, never past the block's end.
            const uint8_t* edge = block + (stamp_of(node) & POSITION_MASK) + (p - cur);
            const uint32_t n = std::min(length, static_cast<uint32_t>(block_end - p));
            const uint32_t k = common_prefix(edge, p, 0, n);
            if (k < n) {
                if (!split_edge(t, slot, node, length, k, edge[k], p[k]))
                    return false;
                *depth = static_cast<uint32_t>(p - cur) + k;
                break;
            }
            set_stamp(node, t.mark);
            p += n;   // n < length only where the block ends: the search ends below
            slot = node + 4;
        } else {
            uint32_t index = 0;
            uint8_t* child = find_child(node, cls, *p, &index);
            if (!child) {
                if (!grow_branch(t, slot, node, cls, *p, index))
                    return false;
                *depth = static_cast<uint32_t>(p + 1 - cur);
                break;
            }
            set_stamp(node, t.mark);
            slot = child;
            ++p;
        }
        if (p >= end) {
            *depth = static_cast<uint32_t>(p - cur);
            break;
        }
    }
    *last_out = last;
    return true;
}

} // namespace qrn
