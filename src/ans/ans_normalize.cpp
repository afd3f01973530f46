// Counting and normalisation of one chunk, and the chunk header bit fields.
#include "ans/ans_impl.h"

namespace qrn {
namespace {

// Binary heap (1-based) of donors, ordered by key = -frequency. Ties keep
// their positions: the order of moves below decides which symbol gives up a
// unit, so it is part of the format.
struct DonorHeap {
    struct Item {
        int32_t key;
        uint32_t symbol;
    };
    Item items[257];
    uint32_t size = 0;

    void sift_up(uint32_t hole, Item item)
    {
        while (hole > 1 && item.key < items[hole / 2].key) {
            items[hole] = items[hole / 2];
            hole /= 2;
        }
        items[hole] = item;
    }
    void push(Item item) { sift_up(++size, item); }
    // Removes the root: the hole walks down to a leaf, always to the child
    // with the smaller key (the right one only when strictly smaller); the
    // former last element then fills it and moves up.
    Item pop()
    {
        const Item top = items[1];
        const Item last = items[size--];
        if (size == 0)
            return top;
        uint32_t hole = 1;
        for (;;) {
            uint32_t child = 2 * hole;
            if (child > size)
                break;
            if (child + 1 <= size && items[child + 1].key < items[child].key)
                ++child;
            items[hole] = items[child];
            hole = child;
        }
        sift_up(hole, last);
        return top;
    }
};

} // namespace

uint32_t ansc_normalize(const uint8_t* symbols, uint32_t count, uint32_t freq[256])
{
    // Four sub-histograms, so that runs of one byte do not wait on their own
    // stores; the tail goes to the first.
    uint32_t h[4][256] = {};
    const uint32_t groups = count / 8;
    for (uint32_t g = 0; g < groups; ++g) {
        const uint8_t* p = symbols + 8 * g;
        ++h[0][p[0]];
        ++h[0][p[1]];
        ++h[1][p[2]];
        ++h[1][p[3]];
        ++h[2][p[4]];
        ++h[2][p[5]];
        ++h[3][p[6]];
        ++h[3][p[7]];
    }
    for (uint32_t i = 8 * groups; i < count; ++i)
        ++h[0][symbols[i]];

    uint32_t hist[256];
    uint32_t n = 1;
    for (uint32_t s = 0; s < 256; ++s) {
        hist[s] = h[0][s] + h[1][s] + h[2][s] + h[3][s];
        if (hist[s] != 0)
            n = s + 1;
    }

    // f_s = floor(2048 S_(s+1) / N) - floor(2048 S_s / N): the last symbol of a
    // range collects the rounding.
    uint32_t sum = 0;
    uint32_t scaled_before = 0;
    bool needs_repair = false;
    for (uint32_t s = 0; s < n; ++s) {
        sum += hist[s];
        const uint32_t scaled = (ANSC_SCALE * sum) / count;
        freq[s] = scaled - scaled_before;
        scaled_before = scaled;
        if (hist[s] != 0 && freq[s] == 0)
            needs_repair = true;
    }
    if (!needs_repair)
        return n;

    // Every occurring symbol scaled to 0 takes one unit from the symbol with
    // the largest frequency at that moment.
    DonorHeap heap;
    for (uint32_t s = 0; s < n; ++s)
        if (freq[s] >= 2)
            heap.push({-static_cast<int32_t>(freq[s]), s});
    for (uint32_t z = 0; z < n; ++z) {
        if (hist[z] == 0 || freq[z] != 0)
            continue;
        if (heap.size == 0)
            break;  // cannot happen: 2048 units over at most 256 symbols
        const uint32_t donor = heap.pop().symbol;
        const uint32_t before = freq[donor];
        freq[donor] = before - 1;
        freq[z] = 1;
        if (before > 2)
            heap.push({-static_cast<int32_t>(before - 1), donor});
    }
    return n;
}

uint8_t* ansc_write_chunk_header(const AnscContext& ctx, uint32_t n, const uint32_t* freq, uint8_t* out)
{
    BitFieldWriter w(out);
    const int32_t dc = static_cast<int32_t>(n - 1) - static_cast<int32_t>(ctx.last_symbol);
    w.gamma(zigzag(dc) + 1);

    uint32_t nonzero = 0;
    for (uint32_t s = 0; s < n; ++s)
        nonzero += freq[s] != ctx.freq[s];
    if (nonzero != 0 && n / nonzero < 3) {
        w.put(1, 1);  // explicit: every difference
        for (uint32_t s = 0; s < n; ++s)
            w.gamma(zigzag(static_cast<int32_t>(freq[s] - ctx.freq[s])) + 1);
        return w.finish();
    }
    w.put(2, 3);  // run-length: gamma(1) + gamma(r) for r equal entries
    uint32_t run = 0;
    for (uint32_t s = 0; s < n; ++s) {
        const int32_t d = static_cast<int32_t>(freq[s] - ctx.freq[s]);
        if (d == 0) {
            ++run;
            continue;
        }
        if (run != 0) {
            w.put(1, 1);
            w.gamma(run);
            run = 0;
        }
        w.gamma(zigzag(d) + 1);
    }
    if (run != 0) {
        w.put(1, 1);
        w.gamma(run);
    }
    return w.finish();
}

const uint8_t* ansc_apply_chunk_header(AnscContext& ctx, const uint8_t* pos, const uint8_t* end)
{
    if (ctx.last_symbol > 255)
        return nullptr;
    BitFieldReader r(pos, end);
    const uint32_t n = ctx.last_symbol + 1;
    const uint32_t g = r.gamma();
    if (g == 0)
        return nullptr;
    ctx.last_symbol -= unzigzag(g - 1);

    const uint32_t mode = r.gamma();
    if (mode == 0)
        return nullptr;
    if (mode == 1) {
        for (uint32_t s = 0; s < n; ++s) {
            const uint32_t gs = r.gamma();
            if (gs == 0)
                return nullptr;
            ctx.freq[s] -= unzigzag(gs - 1);
        }
    } else {
        uint32_t s = 0;
        while (s < n) {
            const uint32_t gs = r.gamma();
            if (gs == 0)
                return nullptr;
            if (gs != 1) {
                ctx.freq[s++] -= unzigzag(gs - 1);
                continue;
            }
            const uint32_t run = r.gamma();
            if (run == 0 || run > n - s)
                return nullptr;
            s += run;
        }
    }
    if (r.overrun())
        return nullptr;
    return r.end();
}

} // namespace qrn
