// The level-9 parse of the byte-token methods (1 and 2): a price-driven
// optimal parse over every match the match finder reports, with the price of
// each token exact in bytes.
//
// The block is parsed in windows that grow from 512 to 8192 positions. In a
// window a forward pass relaxes every candidate into a node per position
// (the cheapest known way to reach it); the cheapest path to the farthest node
// reached by a match is then traced back and written. Literals are priced as
// runs: a node reached by literals keeps the price at the start of its run,
// and the run's length is carried in the parse state. The pending literals
// after a window's last match start the next window's first run.
//
// A dialect supplies the token forms and their prices, and the writer:
//   D::REPEAT                     whether a match at the last distance is tried
//   D::MAX_DISTANCE               the farthest distance any form codes
//   D::form(d, r, &f)             the form of distance d with r run literals
//                                 (header price and minimum match); false
//                                 when d cannot be coded
//   D::repeat_form(r)             the repeat token's form
//   D::length_price(L, f)         bytes the match length L adds to form f
//   D::first_min_length(replen)   the shortest length tried for searched matches
//   D::Writer{op, end}            put(lits, count, length, distance) and
//                                 finish(lits, count); false when out of room
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/bytes.h"
#include "codecs/codec_call.h"
#include "parse/match_feed.h"
#include "parse/match_finder.h"

namespace qrn {

// The bytes `price` gives each length value 0..LONG_MATCH_LENGTH, as a
// table: the values the parse prices most, those of the lengths it tries
// one by one.
template <class F>
constexpr std::array<uint8_t, LONG_MATCH_LENGTH + 1> value_price_table(F price)
{
    std::array<uint8_t, LONG_MATCH_LENGTH + 1> t{};
    for (uint32_t v = 0; v <= LONG_MATCH_LENGTH; ++v)
        t[v] = static_cast<uint8_t>(price(v));
    return t;
}

// Offers the lengths len down to min_length (min_length >= 1) of one
// candidate from node `from`, longest first: offer(length, price(length)).
// The lengths that reach the window's last node (`last_node`) all end there
// and are offered one by one; each of the others ends at a node of its own,
// which it can take only at a price no higher than the node's, so only
// those are offered.
template <class Node, class Price, class Offer>
inline void offer_lengths(const Node* nodes, uint32_t from, uint32_t last_node, uint32_t len, uint32_t min_length,
                          Price price, Offer offer)
{
    uint32_t length = len;
    for (; length >= min_length && from + length >= last_node; --length)
        offer(length, price(length));
    const Node* const ends = nodes + from;
    for (; length >= min_length; --length) {
        const uint32_t p = price(length);
        if (p <= ends[length].cost)
            offer(length, p);
    }
}

// Offers the lengths `len` down to `min_length` (at least 1) of one
// candidate, longest first: offer(length, price(length)). Those from `reach`
// up all end at the window's last node and are offered one by one; each of
// the others ends at a node of its own (ends[length]: that node's price),
// which it can take only at a price no higher, so only those are offered.
// From `low` up a length's price is `add` + row[length], and four lengths
// are compared with their nodes at a time; where the row is filled on
// demand (0: not yet), fill(l) first fills row[l..l+3] (fill: nullptr for a
// row filled beforehand). Prices and costs stay below 2^31.
template <class Price, class Fill, class Offer>
inline void offer_row_lengths(const uint32_t* ends, uint32_t reach, uint32_t len, uint32_t min_length, Price price,
                              uint32_t low, const uint32_t* row, uint32_t add, Fill fill, Offer offer)
{
    uint32_t length = len;
    for (; length >= min_length && length >= reach; --length)
        offer(length, price(length));
    using Lanes = int32_t __attribute__((vector_size(16)));
    const auto any = [](Lanes m) {
        uint64_t half[2];
        std::memcpy(half, &m, sizeof half);
        return (half[0] | half[1]) != 0;
    };
    for (low = std::max(low, min_length); length >= low + 3; length -= 4) {
        const uint32_t l = length - 3;
        Lanes prices, costs;
        std::memcpy(&prices, row + l, sizeof prices);
        if constexpr (!std::is_null_pointer_v<Fill>) {
            if (any(prices == 0)) {
                fill(l);
                std::memcpy(&prices, row + l, sizeof prices);
            }
        }
        std::memcpy(&costs, ends + l, sizeof costs);
        prices += static_cast<int32_t>(add);
        const Lanes fits = prices <= costs;
        if (any(fits))
            for (uint32_t j = 4; j-- > 0;)
                if (fits[j])
                    offer(l + j, static_cast<uint32_t>(prices[j]));
    }
    for (; length >= min_length; --length) {
        const uint32_t p = price(length);
        if (p <= ends[length])
            offer(length, p);
    }
}

// One node per window position. `cost` is the price of the cheapest way
// found to reach it (in bytes, relative to the window's start; for a node
// reached by literals, the price at the start of its run). The arriving step
// is `literals` run literals (counted from the run's start, before the window
// for a window's first run) and a match spanning `span` nodes.
struct ParseNode {
    uint32_t cost;
    uint32_t literals;
    uint32_t span;
    int32_t distance;       // 0: no match arrives; -1: the repeat distance
    uint32_t length;
    uint32_t rep_distance;  // the repeat distance after the arriving step
};

struct OptimalForm {
    uint32_t header;        // token and literal-length extension, in bytes
    uint32_t min_length;
};

constexpr uint32_t OPTIMAL_FIRST_WINDOW = 256;   // doubled before the first window
constexpr uint32_t OPTIMAL_MAX_WINDOW = 8192;
constexpr uint32_t UNREACHED = 0x3FFFFFFF;

// Working memory of one thread, kept from block to block.
struct OptimalWork {
    SegmentPool pool;
    ParseNode nodes[OPTIMAL_MAX_WINDOW + 1];
    MatchPair pairs[MATCH_LIMIT + 1];
};
OptimalWork* optimal_work();

// Nodes from a step's start to the node it arrives at: its run's literals and
// its match. (A parser whose steps are single literals or matches overloads it.)
template <class Node>
uint32_t path_back(const Node& step)
{
    return step.literals + step.span;
}

// Moves the record of each step on the path that arrives at `farthest` to the
// node where the step starts (path_back nodes before its end, node 0 at the
// earliest): node 0 then holds the first step.
template <class Node>
void reverse_path(Node* nodes, uint32_t farthest)
{
    Node step = nodes[farthest];
    for (uint32_t at = farthest;;) {
        const uint32_t back = path_back(step);
        const uint32_t from = back < at ? at - back : 0;
        const Node arriving = nodes[from];
        nodes[from] = step;
        if (from == 0)
            return;
        step = arriving;
        at = from;
    }
}

// Hands the steps of the path arriving at `farthest` to `emit` in order,
// first reversing it in place; `skipped` literals of the first step's run lie
// before the window. Returns false as soon as `emit` does.
template <class Node, class Emit>
bool walk_path(Node* nodes, uint32_t farthest, uint32_t skipped, Emit emit)
{
    if (farthest == 0)
        return true;
    reverse_path(nodes, farthest);
    for (uint32_t at = 0;;) {
        const Node& s = nodes[at];
        if (!emit(s))
            return false;
        at += path_back(s) - skipped;
        skipped = 0;
        if (at >= farthest)
            return true;
    }
}

template <class D>
struct OptimalParse {
    const uint8_t* in;
    uint32_t n;
    ParseNode* nodes;
    MatchSource src;
    typename D::Writer out;
    int status = FEED_OK;        // why the forward pass stopped early
    uint32_t anchor = 0;
    uint32_t rep = 1;            // repeat distance after the last step written

    // Window state.
    uint32_t ws = 0, w = 0;
    uint32_t p = 0;
    uint32_t run_start = 0, run_literals = 0, run_cost = 0;
    uint32_t farthest = 0;

    // Offers the arrival of a match of `length` (at distance d, or the repeat)
    // from node `from` at `price` to its end node (the window's last node at most).
    void relax(uint32_t from, uint32_t price, uint32_t r, int32_t d, uint32_t length, uint32_t rep_after)
    {
        const uint32_t t = std::min(from + length, w - 1);
        ParseNode& target = nodes[t];
        // Ties go to the smaller distance; a repeat (-1) keeps an equal price.
        const bool better = d < 0 ? price <= target.cost
                                  : price < target.cost || (price == target.cost && d < target.distance);
        if (!better)
            return;
        target = ParseNode{price, r, t - from, d, length, rep_after};
        farthest = std::max(farthest, t);
    }

    // Prices lengths `len` down to `min_length` of one candidate; a long
    // match only at its full length.
    void relax_lengths(uint32_t from, uint32_t base, const OptimalForm& f, uint32_t r, int32_t d, uint32_t len,
                       uint32_t min_length, uint32_t rep_after)
    {
        if (len < min_length)
            return;
        const uint32_t add = base + f.header;
        if (len > LONG_MATCH_LENGTH) {
            relax(from, add + D::length_price(len, f), r, d, len, rep_after);
            return;
        }
        offer_lengths(
            nodes, from, w - 1, len, min_length, [&](uint32_t length) { return add + D::length_price(length, f); },
            [&](uint32_t length, uint32_t price) { relax(from, price, r, d, length, rep_after); });
    }

    // The forward pass of one window; false when the match finder fails.
    bool forward()
    {
        for (uint32_t i = 0; i <= w; ++i)
            nodes[i] = ParseNode{UNREACHED, 0, 0, 0, 0, 0};
        nodes[0].cost = 0;
        nodes[0].rep_distance = rep;
        run_start = anchor;
        run_literals = 0;
        run_cost = UNREACHED;
        farthest = 0;
        p = ws;
        while (p < ws + w) {
            const uint32_t node = p - ws;
            if (p == 0) {   // position 0 starts no match and is never searched
                nodes[1] = nodes[0];
                p = 1;
                continue;
            }
            const uint32_t r = p - run_start;
            const uint32_t base = nodes[node].cost + run_literals;
            const uint8_t* cur = in + p;

            uint32_t replen = 0;
            if constexpr (D::REPEAT) {
                const uint32_t rd = nodes[node].rep_distance;
                if (p + 3 <= n && rd <= p && load_le16(cur - rd) == load_le16(cur) && (cur - rd)[2] == cur[2]) {
                    replen = common_prefix(cur - rd, cur, 3, n - p);
                    relax_lengths(node, base, D::repeat_form(r), r, -1, replen, 3, rd);
                }
            }

            int last = -1;
            uint32_t depth = 0;
            const MatchPair* pairs = nullptr;
            if ((status = source_find(src, p, ws + w, &pairs, &last, &depth)) != FEED_OK)
                return false;
            uint32_t min_length = D::first_min_length(replen);
            for (int i = 0; i <= last; ++i) {
                const uint32_t d = p - pairs[i].position;
                OptimalForm f;
                if (!D::form(d, r, &f))
                    break;   // distances only grow along the list
                min_length = std::max(min_length, f.min_length);
                const uint32_t len = common_prefix(in + pairs[i].position, cur, pairs[i].length, n - p);
                if (len < min_length)
                    continue;
                relax_lengths(node, base, f, r, static_cast<int32_t>(d), len, min_length, static_cast<uint32_t>(d));
                min_length = len;
            }

            // A long match is taken whole: the parse goes on where it ends.
            if (farthest > node && nodes[farthest].length > LONG_MATCH_LENGTH) {
                if constexpr (D::REPEAT)
                    source_note_reps(src, &nodes[farthest].rep_distance, 1);
                run_literals = 0;
                run_cost = nodes[farthest].cost;
                p = run_start = ws + farthest;
                continue;
            }
            // Commit to a match arriving at the next position when it is no
            // dearer than extending the literal run; else the run grows.
            ParseNode& next = nodes[node + 1];
            if (next.distance != 0 && next.cost <= run_literals + run_cost + 1) {
                run_cost = next.cost;
                run_literals = 0;
                run_start = p + 1;
            } else {
                next.cost = nodes[node].cost;
                next.rep_distance = nodes[node].rep_distance;
                ++run_literals;
            }
            ++p;
        }
        return true;
    }

    // Writes the cheapest path to the farthest node reached by a match.
    bool output()
    {
        return walk_path(nodes, farthest, ws - anchor, [&](const ParseNode& s) {
            if (!out.put(in + anchor, s.literals, s.length, s.distance))
                return false;
            anchor += s.literals + s.length;
            if (s.distance > 0)
                rep = static_cast<uint32_t>(s.distance);
            return true;
        });
    }

    // The whole block; CODEC_FAIL when the match finder or the output fails.
    uint32_t run(uint8_t* out_start, BlockProgress* progress)
    {
        uint32_t window = OPTIMAL_FIRST_WINDOW;
        while (ws < n) {
            block_progress_at(progress, ws);
            if (window < OPTIMAL_MAX_WINDOW)
                window *= 2;
            w = std::min(window, n - ws);
            if (!forward() || !output())
                return CODEC_FAIL;
            ws = std::max(anchor, p);
        }
        if (!out.finish(in + anchor, n - anchor))
            return CODEC_FAIL;
        return static_cast<uint32_t>(out.op - out_start);
    }
};

// One coding of a block, with the match finder on a thread of its own when
// the caller allows one; *again when it must be coded anew (see FeedStops).
template <class D>
uint32_t optimal_attempt(const BlockCall& job, FeedStops& stops, bool* again)
{
    OptimalWork* work = optimal_work();
    if (!work)
        return CODEC_FAIL;
    pool_clear(&work->pool);
    OptimalParse<D> parse{job.in, job.in_size, work->nodes, {{}, work->pairs}, {job.out, job.out + job.out_limit}};
    uint32_t result = CODEC_FAIL;
    if (mf_create(&parse.src.mf, job.in, job.in_size, 0, &work->pool)) {
        if (feed_wanted(job.in_size, job.helpers, stops))
            parse.src.feed = feed_start(parse.src.mf, D::MAX_DISTANCE, stops);
        result = parse.run(job.out, job.progress);
        feed_stop(parse.src.feed, &stops);
    }
    pool_release_all(&work->pool);
    *again = parse.status == FEED_RETRY;
    return result;
}

// The level-9 compressor of dialect D for one block.
template <class D>
uint32_t optimal_compress(const BlockCall& job)
{
    if (job.in_size == 0)
        return 0;
    return feed_code_block([&](FeedStops& stops, bool* again) { return optimal_attempt<D>(job, stops, again); });
}

} // namespace qrn
