// Method 2 level 9: the optimal parse over the match finder in the level-9
// dialect, with a match at the repeat distance (a one-byte token) tried at
// every position before the search, and every token form priced exactly.
#include <cstring>

#include "codecs/common/copy.h"
#include "codecs/common/optimal_parse.h"
#include "codecs/common/prefix_varint.h"
#include "codecs/m2/m2.h"
#include "codecs/m2/m2_format.h"

namespace qrn {

namespace {

// Level-9 dialect forms: token bytes, literal-field escape, minimum match.
struct Form9 {
    uint32_t size;
    uint32_t escape;
    uint32_t min_length;
};
constexpr Form9 SHORT{2, 3, 3};
constexpr Form9 THREE{3, 7, 3};
constexpr Form9 FOUR{4, 7, 5};
constexpr Form9 FIVE{5, 7, 6};
constexpr Form9 REPEAT_FORM{1, 3, 3};
constexpr uint32_t THREE_LIMIT = 1u << 15;
constexpr uint32_t FOUR_LIMIT = 1u << 23;

constexpr const Form9& form_of(uint32_t d)
{
    return d <= M2_SHORT_MAX_DISTANCE ? SHORT : d < THREE_LIMIT ? THREE : d < FOUR_LIMIT ? FOUR : FIVE;
}

constexpr uint32_t literal_price(const Form9& f, uint32_t r)
{
    return r < f.escape ? 0 : static_cast<uint32_t>(length_extension_size(r));
}
constexpr uint32_t value_price(uint32_t v) { return v < 7 ? 0 : static_cast<uint32_t>(length_extension_size(v)); }
constexpr auto SHORT_VALUE_PRICES = value_price_table(value_price);

struct M2Dialect {
    static constexpr bool REPEAT = true;
    static constexpr uint32_t MAX_DISTANCE = 0xFFFFFFFFu;

    static bool form(uint32_t d, uint32_t r, OptimalForm* f)
    {
        const Form9& g = form_of(d);
        *f = {g.size + literal_price(g, r), g.min_length};
        return true;
    }
    static OptimalForm repeat_form(uint32_t r) { return {REPEAT_FORM.size + literal_price(REPEAT_FORM, r), REPEAT_FORM.min_length}; }
    static uint32_t length_price(uint32_t length, const OptimalForm& f)
    {
        const uint32_t v = length - f.min_length;
        return v <= LONG_MATCH_LENGTH ? SHORT_VALUE_PRICES[v] : value_price(v);
    }
    static uint32_t first_min_length(uint32_t replen) { return replen < 8 ? 3 : replen; }

    struct Writer {
        uint8_t* op;
        uint8_t* end;

        // A token of `count` literals and a match of `length` at `distance`
        // (-1: the repeat distance; 0 with length 0: the end token).
        bool put(const uint8_t* literals, uint32_t count, uint32_t length, int32_t distance)
        {
            const uint32_t d = static_cast<uint32_t>(distance);
            const Form9& f = distance < 0 ? REPEAT_FORM : length == 0 ? SHORT : form_of(d);
            const uint32_t value = length ? length - f.min_length : 0;
            const uint32_t ml = value < 7 ? value : 7;
            const uint32_t lit = count < f.escape ? count : f.escape;
            const size_t need = f.size + (ml == 7 ? length_extension_size(value) : 0) +
                                (lit == f.escape ? length_extension_size(count) : 0) + count;
            if (need > static_cast<size_t>(end - op))
                return false;
            uint8_t word[8];
            if (f.size == 2)
                store_le64(word, uint64_t(d) << 6 | lit << 4 | ml);
            else if (f.size == 1)
                store_le64(word, lit << 6 | 0x38 | ml);
            else
                store_le64(word, uint64_t(d) << 9 | lit << 6 | (f.size - 3) << 4 | 8 | ml);
            std::memcpy(op, word, f.size);
            uint8_t* o = op + f.size;
            if (ml == 7)
                o = length_extension_put(o, value);
            if (lit == f.escape)
                o = length_extension_put(o, count);
            if (static_cast<size_t>(end - o) >= size_t(count) + 16)
                wild_copy16(o, literals, o + count);
            else
                std::memcpy(o, literals, count);
            op = o + count;
            return true;
        }
        bool finish(const uint8_t* literals, uint32_t count) { return put(literals, count, 0, 0); }
    };
};

} // namespace

uint32_t m2_compress_optimal(const BlockCall& job) { return optimal_compress<M2Dialect>(job); }

} // namespace qrn
