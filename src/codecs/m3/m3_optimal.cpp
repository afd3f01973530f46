// Method 3 level 9: an optimal parse over the match finder, priced from
// adaptive symbol counts of the five streams.
//
// Every stream keeps a count per symbol; prices (1024 per bit) are
// recomputed from the counts after every window, and every coded symbol
// adds to its count. Literals are priced as runs: a node reached by literals
// keeps the price at the start of its run, and the run's literal prices are
// summed in the scan state. A step is a run and a match (a new distance, or
// one of four repeat distances, tried first).
//
// The pending literals after a window's last step stay the first run of the
// next window, which starts where the scan stopped: no position is searched
// twice (the match finder must hold each position once), and a stretch
// without any match still ends.
#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>

#include "common/bytes.h"
#include "codecs/common/optimal_parse.h"
#include "codecs/m3/m3.h"
#include "codecs/m3/m3_format.h"
#include "codecs/m3/m3_writer.h"
#include "parse/match_feed.h"
#include "parse/match_finder.h"

namespace qrn {

uint16_t m3_price_table[M3_PRICE_ENTRIES];

void m3_prepare_level9()
{
    static std::once_flag once;
    std::call_once(once, [] {
        m3_price_table[0] = 0;
        for (uint32_t i = 1; i < M3_PRICE_ENTRIES; ++i)
            m3_price_table[i] = static_cast<uint16_t>(std::log(static_cast<double>(i)) * 1477.3197218702985);
    });
}

namespace {

constexpr uint32_t MIN_MATCH = 2;
constexpr uint32_t BIT_PRICE = 1024;
constexpr uint16_t START_PRICE = 1149;          // literal and token symbols before the first refresh
constexpr uint32_t HALVE_ABOVE = 8191;

struct StreamStats {
    uint16_t count[256];
    uint16_t price[256];
    uint32_t total;
    uint32_t symbols;

    void start(uint32_t n, uint16_t p)
    {
        symbols = n;
        total = n;
        for (uint32_t v = 0; v < 256; ++v) {
            count[v] = v < n ? 1 : 0;
            price[v] = p;
        }
    }
    void add(uint32_t symbol)
    {
        ++count[symbol];
        ++total;
    }
    // Prices from the counts (halved first when they have grown large):
    // (T[total / 8] - T[count / 8]) * 64 / 57.
    void refresh()
    {
        if (total > HALVE_ABOVE) {
            total = 0;
            for (uint32_t v = 0; v < symbols; ++v) {
                count[v] = static_cast<uint16_t>((count[v] + 1u) >> 1);
                total += count[v];
            }
        }
        const uint32_t whole = m3_price_table[std::min<uint32_t>(total >> 3, M3_PRICE_ENTRIES - 1)];
        for (uint32_t v = 0; v < symbols; ++v) {
            const uint64_t difference = whole - m3_price_table[count[v] >> 3];
            price[v] = static_cast<uint16_t>((((difference * 128) >> 1) * 0x8FB823EFull) >> 37);
        }
    }
    // A value of an extension or offset stream: its bucket symbol and extra bits.
    uint32_t value_price(uint32_t v) const { return price[m3_bucket_symbol(v)] + BIT_PRICE * m3_bucket_extra_bits(v); }
};

struct Model {
    StreamStats s[M3_STREAMS];
    // Per literal code, the token and length-extension prices of the match
    // lengths up to LONG_MATCH_LENGTH, filled at first use after the prices
    // change (`current` clears then).
    uint32_t lengths[M3_LC_EXT + 1][LONG_MATCH_LENGTH + 1];
    bool current[M3_LC_EXT + 1];

    void prices_changed() { std::fill(current, current + M3_LC_EXT + 1, false); }
    // The row of a run of r literals: row[length] + run part + offset part is
    // step_price's sum.
    const uint32_t* length_row(uint32_t r)
    {
        const uint32_t lc = r < M3_LC_EXT ? r : M3_LC_EXT;
        uint32_t* row = lengths[lc];
        if (!current[lc]) {
            current[lc] = true;
            for (uint32_t length = MIN_MATCH; length <= LONG_MATCH_LENGTH; ++length)
                row[length] = step_price(0, r, length, 0);
        }
        return row;
    }

    // The token, the extension values and the offset of a step of a run of
    // r literals and a match of `length` with offset value w (the run's
    // literals themselves are summed by the scan).
    uint32_t step_price(uint32_t run_part, uint32_t r, uint32_t length, uint32_t offset_part) const
    {
        const uint32_t code = length - MIN_MATCH;
        const uint32_t mc = code < M3_MC_EXT ? code : M3_MC_EXT;
        const uint32_t lc = r < M3_LC_EXT ? r : M3_LC_EXT;
        uint32_t p = s[M3_TOKENS].price[lc << 5 | mc] + run_part + offset_part;
        if (mc == M3_MC_EXT)
            p += s[M3_LENGTH_EXT].value_price(code - M3_MC_EXT);
        return p;
    }
    uint32_t run_price(uint32_t r) const { return r >= M3_LC_EXT ? s[M3_RUN_EXT].value_price(r - M3_LC_EXT) : 0; }
};

// One node per window position: the cheapest known way to arrive there (its
// price is in Work::costs, where the prices of consecutive nodes are
// compared four at a time).
struct Node {
    uint32_t literals;  // of the arriving step's run, counted from the run's start
    uint32_t span;      // nodes its match covers (less than `length` at the window's last node)
    int32_t code;       // new match: its distance; repeat: ~index; 0: no step arrives
    uint32_t length;
    uint32_t reps[M3_REPEATS];   // repeat distances after the step
};

struct Work {
    SegmentPool pool;
    Model model;
    Node nodes[OPTIMAL_MAX_WINDOW + 1];
    uint32_t costs[OPTIMAL_MAX_WINDOW + 1];
    MatchPair pairs[MATCH_LIMIT + 1];
};

Work* work()
{
    thread_local std::unique_ptr<Work> w(new (std::nothrow) Work);
    return w.get();
}

// Repeat distances after a step with offset value w (0-3: a repeat; more: a new distance).
void reorder(const uint32_t* in, uint32_t w, uint32_t distance, uint32_t* out)
{
    out[0] = distance;
    switch (w) {
    case 0: out[1] = in[1], out[2] = in[2], out[3] = in[3]; break;
    case 1: out[1] = in[0], out[2] = in[2], out[3] = in[3]; break;
    case 2: out[1] = in[0], out[2] = in[1], out[3] = in[3]; break;
    default: out[1] = in[0], out[2] = in[1], out[3] = in[2]; break;
    }
}

struct Parse {
    const uint8_t* in;
    uint32_t n;
    Work* wk;
    Model& model;
    MatchSource src;
    M3Writers& writers;
    int status = FEED_OK;                       // why the forward pass stopped early
    uint32_t anchor = 0;                        // first byte not yet coded
    uint32_t reps[M3_REPEATS] = {1, 1, 1, 1};   // after the last step coded

    // Window state.
    uint32_t ws = 0, w = 0, p = 0, farthest = 0;

    // Offers a step from node `from` to its end node (the window's last node
    // at most; never the node it starts from).
    void relax(uint32_t from, uint32_t price, uint32_t r, int32_t code, uint32_t length, uint32_t w_value,
               uint32_t distance)
    {
        const uint32_t t = std::min(from + length, w - 1);
        if (t <= from)
            return;
        Node& target = wk->nodes[t];
        uint32_t& cost = wk->costs[t];
        // Ties: a repeat takes the node; a new match only from a larger distance.
        const bool better = code < 0 ? price <= cost : price < cost || (price == cost && code < target.code);
        if (!better)
            return;
        cost = price;
        target.literals = r;
        target.span = t - from;
        target.code = code;
        target.length = length;
        reorder(wk->nodes[from].reps, w_value, distance, target.reps);
        farthest = std::max(farthest, t);
    }

    void relax_lengths(uint32_t from, uint32_t base, uint32_t r, uint32_t run_part, int32_t code, uint32_t len,
                       uint32_t min_length, uint32_t w_value, uint32_t distance)
    {
        const uint32_t offset_part = model.s[M3_OFFSETS].value_price(w_value);
        if (len < min_length)
            return;
        if (len > LONG_MATCH_LENGTH) {   // a long match only whole
            relax(from, base + model.step_price(run_part, r, len, offset_part), r, code, len, w_value, distance);
            return;
        }
        const uint32_t* row = model.length_row(r);
        const uint32_t add = base + run_part + offset_part;
        offer_row_lengths(
            wk->costs + from, w - 1 - from, len, min_length, [&](uint32_t length) { return add + row[length]; },
            min_length, row, add, nullptr,
            [&](uint32_t length, uint32_t price) { relax(from, price, r, code, length, w_value, distance); });
    }

    bool forward()
    {
        Node* const nodes = wk->nodes;
        uint32_t* const costs = wk->costs;
        for (uint32_t i = 0; i <= w; ++i) {
            nodes[i] = Node{0, 0, 0, 0, {0, 0, 0, 0}};
            costs[i] = UNREACHED;
        }
        costs[0] = 0;
        std::copy(reps, reps + M3_REPEATS, nodes[0].reps);
        // The pending literals before the window add the same to every path
        // of the window, so the run's price sum starts at 0.
        uint32_t run_start = anchor, base_cost = UNREACHED, sum = 0;
        farthest = 0;
        p = ws;
        const StreamStats& literals = model.s[M3_LITERALS];
        while (p < ws + w) {
            const uint32_t node = p - ws;
            if (p == 0) {   // the first byte is a literal, not priced
                nodes[1] = nodes[0];
                costs[1] = costs[0];
                p = 1;
                continue;
            }
            const uint32_t r = p - run_start;
            const uint32_t base = costs[node] + sum;
            const uint32_t run_part = model.run_price(r);
            const uint8_t* cur = in + p;

            // Repeat candidates; a later one is tried only from the lengths
            // the earlier ones did not reach.
            uint32_t min_rep = MIN_MATCH;
            for (uint32_t idx = 0; idx < M3_REPEATS; ++idx) {
                const uint32_t rd = nodes[node].reps[idx];
                uint32_t len = 0;
                if (p + 2 <= n && rd <= p && load_le16(cur - rd) == load_le16(cur))
                    len = p + 3 <= n && cur[2] == (cur - rd)[2] ? common_prefix(cur - rd, cur, 3, n - p) : 2;
                if (len != 0 && len >= min_rep)
                    relax_lengths(node, base, r, run_part, ~static_cast<int32_t>(idx), len, min_rep, idx, rd);
                min_rep = idx == 0 ? std::max(MIN_MATCH, len) : idx < 3 ? std::max(min_rep, len) : min_rep;
            }

            int last = -1;
            uint32_t depth = 0;
            const MatchPair* pairs = nullptr;
            if ((status = source_find(src, p, ws + w, &pairs, &last, &depth)) != FEED_OK)
                return false;
            uint32_t min_length = min_rep >= 8 ? min_rep : MIN_MATCH;
            for (int i = 0; i <= last; ++i) {
                const uint32_t d = p - pairs[i].position;
                const uint32_t len = common_prefix(in + pairs[i].position, cur, pairs[i].length, n - p);
                if (len < min_length)
                    continue;
                relax_lengths(node, base, r, run_part, static_cast<int32_t>(d), len, min_length, d + M3_REPEATS, d);
                min_length = len;
            }

            // A long match is taken whole: the scan goes on where it ends.
            if (farthest > node && nodes[farthest].length > LONG_MATCH_LENGTH) {
                source_note_reps(src, nodes[farthest].reps, M3_REPEATS);
                p = run_start = ws + farthest;
                base_cost = costs[farthest];
                sum = 0;
                continue;
            }
            // The literal at p, unless a step arriving at p + 1 is no dearer.
            const uint32_t x = literals.price[*cur];
            Node& next = nodes[node + 1];
            if (next.code != 0 && costs[node + 1] <= base_cost + sum + x) {
                run_start = p + 1;
                base_cost = costs[node + 1];
                sum = 0;
            } else {
                sum += x;
                costs[node + 1] = costs[node];
                std::copy(nodes[node].reps, nodes[node].reps + M3_REPEATS, next.reps);
            }
            ++p;
        }
        return true;
    }

    // Codes the cheapest path to the farthest node reached by a step; every
    // coded symbol counts in the statistics.
    void code_window()
    {
        walk_path(wk->nodes, farthest, ws - anchor, [&](const Node& s) {
            const bool repeat = s.code < 0;
            const uint32_t w_value = repeat ? ~static_cast<uint32_t>(s.code) : static_cast<uint32_t>(s.code) + M3_REPEATS;
            m3w_sequence(writers, anchor, s.literals, s.length, w_value);
            count_step(s.literals, s.length, w_value);
            anchor += s.literals + s.length;
            // The distances as the decoder keeps them (the end node's own
            // record may hold those of the literal path that passed it).
            uint32_t after[M3_REPEATS];
            reorder(reps, w_value, repeat ? reps[w_value] : static_cast<uint32_t>(s.code), after);
            std::copy(after, after + M3_REPEATS, reps);
            return true;
        });
    }

    void count_step(uint32_t run, uint32_t length, uint32_t w_value)
    {
        const uint32_t code = length - MIN_MATCH;
        const uint32_t mc = code < M3_MC_EXT ? code : M3_MC_EXT;
        const uint32_t lc = run < M3_LC_EXT ? run : M3_LC_EXT;
        model.s[M3_TOKENS].add(lc << 5 | mc);
        if (mc == M3_MC_EXT)
            model.s[M3_LENGTH_EXT].add(m3_bucket_symbol(code - M3_MC_EXT));
        if (lc == M3_LC_EXT)
            model.s[M3_RUN_EXT].add(m3_bucket_symbol(run - M3_LC_EXT));
        if (run <= m3_raw_threshold(9))
            for (uint32_t i = 0; i < run; ++i)
                model.s[M3_LITERALS].add(in[anchor + i]);
        model.s[M3_OFFSETS].add(m3_bucket_symbol(w_value));
    }

    uint32_t run(BlockProgress* progress)
    {
        uint32_t window = OPTIMAL_FIRST_WINDOW;
        while (ws < n) {
            block_progress_at(progress, ws);
            if (window < OPTIMAL_MAX_WINDOW)
                window *= 2;
            w = std::min(window, n - ws);
            if (!forward())
                return CODEC_FAIL;
            code_window();
            for (StreamStats& s : model.s)
                s.refresh();
            model.prices_changed();
            ws = std::max(anchor, p);
        }
        return m3w_finish(writers, anchor, n - anchor);
    }
};

// One coding of a block (*again: it must be coded anew, see FeedStops).
uint32_t attempt(const BlockCall& job, FeedStops& stops, bool* again)
{
    const uint32_t n = job.in_size;
    Work* wk = work();
    if (!wk)
        return CODEC_FAIL;
    M3Writers writers;
    if (!m3w_open(writers, job))
        return CODEC_FAIL;
    Model& model = wk->model;
    const uint32_t values = m3_bucket_symbol(n + M3_REPEATS) + 1;
    model.s[M3_LITERALS].start(256, START_PRICE);
    model.s[M3_TOKENS].start(256, START_PRICE);
    for (int k : {M3_RUN_EXT, M3_LENGTH_EXT, M3_OFFSETS}) {
        model.s[k].start(values, 0);
        model.s[k].refresh();   // every value as likely as the others
    }
    model.prices_changed();
    pool_clear(&wk->pool);
    Parse parse{job.in, n, wk, model, {{}, wk->pairs}, writers};
    uint32_t result = CODEC_FAIL;
    if (mf_create(&parse.src.mf, job.in, n, 0, &wk->pool)) {
        if (feed_wanted(n, job.helpers, stops))
            parse.src.feed = feed_start(parse.src.mf, 0xFFFFFFFFu, stops);
        result = parse.run(job.progress);
        feed_stop(parse.src.feed, &stops);
    }
    pool_release_all(&wk->pool);
    m3w_close(writers);
    *again = parse.status == FEED_RETRY;
    return result;
}

} // namespace

uint32_t m3_compress_optimal(const BlockCall& job)
{
    if (job.in_size == 0)
        return 0;
    m3_prepare_level9();   // done at start-up; here for callers that skip it
    return feed_code_block([&](FeedStops& stops, bool* again) { return attempt(job, stops, again); });
}

} // namespace qrn
