// Method 4 compressor: an optimal parse priced in 1/128 bit from the range
// coder's adaptive probabilities.
//
// The block is walked in windows of 512 growing to 8192 positions. For every
// position the scan offers a literal, the four repeat distances and every
// match the match finder reports to the nodes they arrive at, each node
// keeping the cheapest arrival with the coder state it leaves. All prices of
// a window come from the probabilities as they stood at its start; the
// cheapest path is then coded, which moves the model on for the next window.
// A window also ends early at a position that no arrival reaches past, so
// stretches without matches are coded as they are found.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "common/bytes.h"
#include "codecs/common/optimal_parse.h"
#include "codecs/m4/m4.h"
#include "codecs/m4/m4_encode.h"
#include "codecs/m4/m4_format.h"
#include "parse/match_feed.h"
#include "parse/match_finder.h"

namespace qrn {

int16_t m4_price_table[M4_PRICE_ENTRIES];

void m4_prepare_level9()
{
    static std::once_flag once;
    std::call_once(once, [] {
        m4_price_table[0] = 768;
        for (uint32_t i = 1; i < M4_PRICE_ENTRIES; ++i)
            m4_price_table[i] =
                static_cast<int16_t>((4.852030263919617 - std::log(static_cast<double>(i))) * 184.6649652337873);
    });
}

namespace {

inline uint32_t price0(uint16_t p) { return static_cast<uint32_t>(m4_price_table[p >> 7]); }
inline uint32_t price1(uint16_t p) { return static_cast<uint32_t>(m4_price_table[(M4_PROB_ONE - p) >> 7]); }
inline uint32_t price_bit(uint16_t p, uint32_t b) { return b ? price1(p) : price0(p); }
constexpr uint32_t DIRECT_BIT_PRICE = 128;

// Sums the prices of the bits a walk hands it.
struct PriceSum {
    uint32_t total = 0;
    void operator()(const uint16_t& p, uint32_t b) { total += price_bit(p, b); }
};

// Caches of the common length, slot and extra-bit prices (0: not computed).
// They outlive windows: probabilities drift slowly, and the caches are
// cleared on a budget of coded bytes that doubles from 64 to 2048.
constexpr uint32_t CACHED_LENGTHS = 128;
constexpr uint32_t FIRST_BUDGET = 64;
constexpr uint32_t MAX_BUDGET = 2048;

constexpr uint32_t LENGTH_CONTEXTS = M4_STATES * 4;   // length state x 4 + position mod 4

struct PriceCaches {
    uint32_t length[LENGTH_CONTEXTS][CACHED_LENGTHS];
    uint32_t slot[M4_DIST_CONTEXTS][256];
    uint32_t extra[256][64];                          // slot, tree-coded extra bits
};

// Longer lengths are priced from the probabilities of the window itself, as
// two parts that are kept for the window: the unary prefix (with len_is_2)
// per length context, and the bits below the top one per value.
constexpr uint32_t WINDOW_PRICED_VALUES = 1024;   // length - 1 below this

struct WindowLengthPrices {
    uint32_t window = 0;                                   // number of the current window
    uint32_t prefix_window[LENGTH_CONTEXTS];
    uint32_t prefix[LENGTH_CONTEXTS][M4_LENGTH_PREFIXES];
    uint32_t bits_window[WINDOW_PRICED_VALUES];
    uint32_t bits[WINDOW_PRICED_VALUES];
};

// One node per window position: the cheapest known arrival (its price is
// in Work::costs, where the prices of consecutive nodes are compared four
// at a time).
struct PriceNode {
    uint32_t steps;     // nodes back to where the arriving step starts
    int32_t code;       // 0 literal; > 0 new match distance; < 0 ~repeat index
    uint32_t length;    // bytes of the arriving step (past the window's last node when cut there)
    uint32_t state;
    uint32_t reps[M4_REPEATS];
};
inline uint32_t path_back(const PriceNode& s) { return s.steps; }

struct Work {
    SegmentPool pool;
    M4Probs probs;
    PriceCaches caches;
    WindowLengthPrices long_lengths;
    PriceNode nodes[OPTIMAL_MAX_WINDOW + 1];
    uint32_t costs[OPTIMAL_MAX_WINDOW + 1];
    uint32_t touched = OPTIMAL_MAX_WINDOW;   // nodes the last window (of any block) may have written
    MatchPair pairs[MATCH_LIMIT + 1];
};

Work* work()
{
    thread_local std::unique_ptr<Work> w(new (std::nothrow) Work());   // zeroed: no stale window stamps
    return w.get();
}

struct Parse {
    const uint8_t* in;
    uint32_t n;
    Work* wk;
    M4Probs& pr;
    PriceCaches& cache;
    M4StepCoder coder;
    MatchSource src{{}, nullptr};
    int status = FEED_OK;                       // why the forward pass stopped early
    uint32_t window_end = 0;
    int64_t budget = 0;
    uint32_t budget_start = FIRST_BUDGET / 2;
    uint32_t w = 0;                             // window size
    uint32_t farthest = 0;
    uint32_t select[M4_REPEATS] = {};           // rep_is_1 / rep_is_2 prices of repeat indexes 1..3

    // Lengths below 128 come from the cache; longer ones from the window's
    // parts (or, beyond those, a walk of their bits).
    uint32_t length_price(uint32_t length_state, uint32_t pos_class, uint32_t length)
    {
        const uint32_t context = length_state * 4 + pos_class;
        if (length < CACHED_LENGTHS)
            return cached_length_price(cache.length[context], length_state, pos_class, length);
        const WindowLengthPrices& lp = wk->long_lengths;
        const uint32_t v = length - 1;
        if (v < WINDOW_PRICED_VALUES && lp.prefix_window[context] == lp.window && lp.bits_window[v] == lp.window)
            return lp.prefix[context][m4_length_prefix(length)] + lp.bits[v];
        return length_price_missing(length_state, pos_class, length);
    }
    [[gnu::noinline]] uint32_t length_price_missing(uint32_t length_state, uint32_t pos_class, uint32_t length)
    {
        const uint32_t context = length_state * 4 + pos_class;
        const uint32_t v = length - 1;
        if (length < CACHED_LENGTHS || v >= WINDOW_PRICED_VALUES) {
            PriceSum sum;
            m4_walk_length(pr, length_state, pos_class, length, sum);
            if (length < CACHED_LENGTHS)
                cache.length[context][length] = sum.total;
            return sum.total;
        }
        // The same sum as the walk, in two parts kept for the window.
        WindowLengthPrices& lp = wk->long_lengths;
        if (lp.prefix_window[context] != lp.window) {
            lp.prefix_window[context] = lp.window;
            uint32_t zeros = price0(pr.len_is_2[length_state][pos_class]);
            for (uint32_t i = 0; i < M4_LENGTH_PREFIXES; ++i) {
                lp.prefix[context][i] = zeros + price1(pr.len_prefix[length_state][i]);
                zeros += price0(pr.len_prefix[length_state][i]);
            }
        }
        const uint32_t i = m4_length_prefix(length);
        if (lp.bits_window[v] != lp.window) {
            lp.bits_window[v] = lp.window;
            uint32_t sum = 0;
            for (uint32_t j = i + 1; j-- > 0;)
                sum += price_bit(pr.len_bits[i][j], (v >> j) & 1);
            lp.bits[v] = sum;
        }
        return lp.prefix[context][i] + lp.bits[v];
    }
    // The price of a length below CACHED_LENGTHS from its context's row.
    uint32_t cached_length_price(const uint32_t* row, uint32_t length_state, uint32_t pos_class, uint32_t length)
    {
        const uint32_t cached = row[length];
        return cached ? cached : length_price_missing(length_state, pos_class, length);
    }
    uint32_t slot_price(uint32_t context, uint32_t slot)
    {
        uint32_t& cached = cache.slot[context][slot];
        if (!cached) {
            PriceSum sum;
            m4_walk_slot(pr, context, slot, sum);
            cached = sum.total;
        }
        return cached;
    }
    // The extra bits of distance d (slot `slot`): tree-coded ones from the
    // cache, direct ones at one bit each.
    uint32_t extra_price(uint32_t d, uint32_t slot)
    {
        if (slot < 16)
            return 0;
        const uint32_t bits = m4_slot_extra_bits(slot);
        const uint32_t direct = bits > M4_EXTRA_TREE_BITS ? bits - M4_EXTRA_TREE_BITS : 0;
        const uint32_t tree = (d - static_cast<uint32_t>(m4_slot_base(slot))) >> direct;
        uint32_t& cached = cache.extra[slot][tree];
        if (!cached) {
            PriceSum sum;
            m4_walk_tree(pr.dist_extra[slot], bits - direct, tree, sum);
            cached = sum.total;
        }
        return cached + DIRECT_BIT_PRICE * direct;
    }
    uint32_t literal_price(uint32_t state, uint32_t match_byte, uint32_t prev, uint32_t byte)
    {
        PriceSum sum;
        m4_walk_literal(pr, state, match_byte, prev, byte, sum);
        return sum.total;
    }

    // Records a step from node `from` as the arrival at its end node t.
    PriceNode& arrive(uint32_t t, uint32_t from, uint32_t price, int32_t code, uint32_t length, uint32_t state)
    {
        PriceNode& target = wk->nodes[t];
        wk->costs[t] = price;
        target.steps = t - from;
        target.code = code;
        target.length = length;
        target.state = state;
        farthest = std::max(farthest, t);
        return target;
    }
    // A repeat of index `index` and `length` from node `from`: it takes its
    // end node (the window's last at most) at an equal price too.
    void offer_repeat(uint32_t from, uint32_t price, uint32_t index, uint32_t length)
    {
        const uint32_t t = std::min(from + length, w);
        if (price > wk->costs[t])
            return;
        const PriceNode& origin = wk->nodes[from];
        const uint32_t state = length == 1 ? m4_after_short_rep(origin.state) : m4_after_rep(origin.state);
        PriceNode& target = arrive(t, from, price, ~static_cast<int32_t>(index), length, state);
        std::copy(origin.reps, origin.reps + M4_REPEATS, target.reps);
        m4_rep_to_front(target.reps, index);
    }
    // A new match: it takes its end node when cheaper, or at an equal price
    // from a new match of a larger distance.
    void offer_match(uint32_t from, uint32_t price, uint32_t d, uint32_t length)
    {
        const uint32_t t = std::min(from + length, w);
        const uint32_t old = wk->costs[t];
        if (price > old || (price == old && static_cast<int32_t>(d) >= wk->nodes[t].code))
            return;
        const PriceNode& origin = wk->nodes[from];
        PriceNode& target = arrive(t, from, price, static_cast<int32_t>(d), length, m4_after_match(origin.state));
        target.reps[0] = d;
        std::copy(origin.reps, origin.reps + M4_REPEATS - 1, target.reps + 1);
    }

    // Offers the lengths `length` down to `last` (below CACHED_LENGTHS) of
    // one candidate from node `from` (see offer_row_lengths): from `low` up
    // a length's price is `add` and its price in `row` (of length context
    // length_state, pos_class), computed where not yet; below, price(l).
    template <class Price, class Offer>
    void offer_cached_lengths(uint32_t from, uint32_t length, uint32_t last, uint32_t low, uint32_t add,
                              const uint32_t* row, uint32_t length_state, uint32_t pos_class, Price price, Offer offer)
    {
        offer_row_lengths(
            wk->costs + from, w - from, length, last,
            [&](uint32_t l) { return l >= low ? add + cached_length_price(row, length_state, pos_class, l) : price(l); },
            low, row, add,
            [&](uint32_t l) {
                for (uint32_t j = l; j < l + 4; ++j)
                    cached_length_price(row, length_state, pos_class, j);
            },
            offer);
    }

    // Every repeat candidate at position p (node `node`); returns the running
    // minimum length the new matches start from.
    uint32_t offer_repeats(uint32_t node, uint32_t p, uint32_t rep_base)
    {
        const PriceNode& at = wk->nodes[node];
        const uint32_t s = at.state, pos_class = p & 3, left = n - p;
        const uint8_t* cur = in + p;
        uint32_t min_length = 2;
        for (uint32_t index = 0; index < M4_REPEATS; ++index) {
            const uint8_t* ref = cur - at.reps[index];
            uint32_t len = 0;
            uint32_t header = rep_base;
            uint32_t shortest = min_length;
            if (index == 0) {
                if (*ref == *cur)
                    len = left >= 2 && ref[1] == cur[1] ? common_prefix(ref, cur, 2, left) : 1;
                header += price0(pr.is_rep0[s]);
                shortest = 1;
            } else {
                if (left >= 2 && load_le16(ref) == load_le16(cur))
                    len = left >= 3 && ref[2] == cur[2] ? common_prefix(ref, cur, 3, left) : 2;
                header += price1(pr.is_rep0[s]) + select[index];
            }
            if (len != 0 && len >= shortest) {
                // Longest first; a long one only whole. Length 1 (index 0
                // only) is the short repeat.
                const uint16_t short_rep = pr.is_short_rep[s][pos_class];
                const uint32_t with_length = header + (index == 0 ? price0(short_rep) : 0);
                const uint32_t last = len > LONG_MATCH_LENGTH ? len : std::max(shortest, 2u);
                const uint32_t length_state = m4_after_rep(s);
                uint32_t length = len;
                for (; length >= last && length >= CACHED_LENGTHS; --length)
                    offer_repeat(node, with_length + length_price(length_state, pos_class, length), index, length);
                offer_cached_lengths(
                    node, length, last, last, with_length, cache.length[length_state * 4 + pos_class], length_state,
                    pos_class, [](uint32_t) { return 0u; },   // every length from `last` is `with_length` + row
                    [&](uint32_t l, uint32_t price) { offer_repeat(node, price, index, l); });
                if (shortest == 1 && len <= LONG_MATCH_LENGTH)
                    offer_repeat(node, header + price1(short_rep), index, 1);
            }
            if (index == 0)
                min_length = std::max(2u, len);
            else if (index < 3)
                min_length = std::max(min_length, len);
        }
        return min_length;
    }

    // Every match the match finder reports at p, from `min_length` (or
    // the distance's minimum) up; false when the match finder fails.
    bool offer_matches(uint32_t node, uint32_t p, uint32_t match_base, uint32_t min_length)
    {
        const uint32_t s = wk->nodes[node].state, pos_class = p & 3, left = n - p;
        int last = -1;
        uint32_t depth = 0;
        const MatchPair* pairs = nullptr;
        if ((status = source_find(src, p, window_end, &pairs, &last, &depth)) != FEED_OK)
            return false;
        const uint32_t base = match_base + price0(pr.is_rep[s]);
        for (int k = 0; k <= last; ++k) {
            const uint32_t position = pairs[k].position;
            const uint32_t d = p - position;
            const uint32_t len = common_prefix(in + position, in + p, pairs[k].length, left);
            min_length = std::max(min_length, d <= 63 ? 2u : d <= 65535 ? 3u : 4u);
            if (len >= min_length) {
                const uint32_t slot = m4_slot(d);
                const uint32_t distance = base + extra_price(d, slot);
                // Lengths from 12 on share one slot price (priced only when
                // used: the caches keep what was priced when).
                const uint32_t far = len >= 12 ? distance + slot_price(m4_dist_context(12), slot) : 0;
                const uint32_t last = len > LONG_MATCH_LENGTH ? len : min_length;
                uint32_t length = len;
                for (; length >= last && length >= CACHED_LENGTHS; --length)
                    offer_match(node, far + length_price(s, pos_class, length), d, length);
                const uint32_t* row = cache.length[s * 4 + pos_class];
                const auto price = [&](uint32_t l) {
                    return distance + slot_price(m4_dist_context(l), slot) + cached_length_price(row, s, pos_class, l);
                };
                offer_cached_lengths(node, length, last, 12, far, row, s, pos_class, price,
                                     [&](uint32_t l, uint32_t p) { offer_match(node, p, d, l); });
            }
            min_length = std::max(min_length, len);
        }
        return true;
    }

    // The forward pass of the window starting at `start`; false when the
    // match finder fails.
    bool forward(uint32_t start)
    {
        PriceNode* const nodes = wk->nodes;
        uint32_t* const costs = wk->costs;
        for (uint32_t i = 0; i <= wk->touched; ++i) {
            nodes[i] = PriceNode{1, 0, 1, 0, {0, 0, 0, 0}};
            costs[i] = UNREACHED;
        }
        wk->touched = OPTIMAL_MAX_WINDOW;   // until the pass ends (a failed one may leave any node written)
        costs[0] = 0;
        nodes[0].state = coder.st.state;
        std::copy(coder.st.rep, coder.st.rep + M4_REPEATS, nodes[0].reps);
        select[1] = price0(pr.rep_is_1);
        select[2] = price1(pr.rep_is_1) + price0(pr.rep_is_2);
        select[3] = price1(pr.rep_is_1) + price1(pr.rep_is_2);
        farthest = 0;
        window_end = start + w;
        if (++wk->long_lengths.window == 0)   // the stamps wrapped: none may look current
            wk->long_lengths = WindowLengthPrices{1, {}, {}, {}, {}};
        for (uint32_t p = start; p < start + w;) {
            const uint32_t node = p - start;
            const PriceNode& at = nodes[node];
            const uint32_t s = at.state;
            const uint32_t match_byte = in[p - at.reps[0]];
            const uint16_t is_match = pr.is_match[s][match_byte];

            // The literal; it takes a node of equal price from anything but a repeat.
            const uint32_t cost = costs[node];
            const uint32_t lit = cost + price0(is_match) + literal_price(s, match_byte, p == 1 ? 0 : in[p - 1], in[p]);
            PriceNode& next = nodes[node + 1];
            if (lit < costs[node + 1] || (lit == costs[node + 1] && next.code >= 0)) {
                costs[node + 1] = lit;
                next = PriceNode{1, 0, 1, m4_after_literal(s), {}};
                std::copy(at.reps, at.reps + M4_REPEATS, next.reps);
            }
            farthest = std::max(farthest, node + 1);

            const uint32_t match_base = cost + price1(is_match);
            const uint32_t min_length = offer_repeats(node, p, match_base + price1(pr.is_rep[s]));
            if (!offer_matches(node, p, match_base, min_length > 7 ? min_length : 2))
                return false;

            // A long match is taken whole: the scan goes on where it ends.
            if (farthest > node && nodes[farthest].length > LONG_MATCH_LENGTH) {
                source_note_reps(src, nodes[farthest].reps, M4_REPEATS);
                p = start + farthest;
                continue;
            }
            // No arrival passes the next node: the window ends here.
            if (farthest == node + 1)
                break;
            ++p;
        }
        wk->touched = farthest;
        return true;
    }

    // Codes the cheapest path to the farthest node.
    void code_window()
    {
        walk_path(wk->nodes, farthest, 0, [&](const PriceNode& s) {
            if (s.code == 0)
                coder.literal();
            else if (s.code > 0)
                coder.match(static_cast<uint32_t>(s.code), s.length);
            else if (s.code == ~0 && s.length == 1)
                coder.short_rep();
            else
                coder.rep(~static_cast<uint32_t>(s.code), s.length);
            budget -= s.length;
            return true;
        });
    }

    uint32_t run(BlockProgress* progress)
    {
        uint32_t window = OPTIMAL_FIRST_WINDOW;
        while (coder.pos < n) {
            block_progress_at(progress, coder.pos);
            if (window < OPTIMAL_MAX_WINDOW)
                window *= 2;
            w = std::min(window, n - coder.pos);
            if (budget <= 0) {
                std::memset(&cache, 0, sizeof cache);
                budget_start = std::min(budget_start * 2, MAX_BUDGET);
                budget = budget_start;
            }
            if (!forward(coder.pos))
                return CODEC_FAIL;
            code_window();
            if (coder.rc.full)
                return CODEC_FAIL;
        }
        return coder.finish();
    }
};

// One coding of a block (*again: it must be coded anew, see FeedStops).
uint32_t attempt(const BlockCall& job, FeedStops& stops, bool* again)
{
    const uint32_t n = job.in_size;
    Work* wk = work();
    if (!wk)
        return CODEC_FAIL;
    Parse parse{job.in, n, wk, wk->probs, wk->caches, {}};
    parse.coder.open(&wk->probs, job.in, job.out, job.out_limit);
    parse.src.pairs = wk->pairs;
    pool_clear(&wk->pool);
    uint32_t result = CODEC_FAIL;
    if (mf_create(&parse.src.mf, job.in, n, 0, &wk->pool)) {
        if (feed_wanted(n, job.helpers, stops))
            parse.src.feed = feed_start(parse.src.mf, 0xFFFFFFFFu, stops);
        result = parse.run(job.progress);
        feed_stop(parse.src.feed, &stops);
    }
    pool_release_all(&wk->pool);
    *again = parse.status == FEED_RETRY;
    return result;
}

} // namespace

uint32_t m4_compress(const BlockCall& job)
{
    if (job.level != 9)
        return CODEC_FAIL;
    if (job.in_size == 0)
        return 0;
    m4_prepare_level9();   // done at start-up; here for callers that skip it
    return feed_code_block([&](FeedStops& stops, bool* again) { return attempt(job, stops, again); });
}

} // namespace qrn
