// Method 1 level 9: the optimal parse over the match finder, with the price
// of every token exact in bytes of the method 1 format.
#include "codecs/common/optimal_parse.h"
#include "codecs/m1/m1.h"
#include "codecs/m1/m1_format.h"

namespace qrn {

namespace {

// Bytes of the match-length extension for length value v (length - minimum).
constexpr uint32_t value_price(uint32_t v) { return v < 15 ? 0 : static_cast<uint32_t>(length_extension_size(v)); }
constexpr auto SHORT_VALUE_PRICES = value_price_table(value_price);

struct M1Dialect {
    static constexpr bool REPEAT = false;
    static constexpr uint32_t MAX_DISTANCE = M1_MAX_DISTANCE;

    // Token byte and offset, and the literal-length extension from 15 literals on.
    static constexpr uint32_t header_price(uint32_t r)
    {
        return 3 + (r < 15 ? 0 : static_cast<uint32_t>(length_extension_size(r)));
    }
    static bool form(uint32_t d, uint32_t r, OptimalForm* f)
    {
        *f = {header_price(r), M1_MIN_MATCH};
        return d <= M1_MAX_DISTANCE;
    }
    static OptimalForm repeat_form(uint32_t) { return {}; }
    static uint32_t length_price(uint32_t length, const OptimalForm&)
    {
        const uint32_t v = length - M1_MIN_MATCH;
        return v <= LONG_MATCH_LENGTH ? SHORT_VALUE_PRICES[v] : value_price(v);
    }
    static uint32_t first_min_length(uint32_t) { return M1_MIN_MATCH; }

    struct Writer {
        uint8_t* op;
        uint8_t* end;
        bool put(const uint8_t* literals, uint32_t count, uint32_t length, int32_t distance)
        {
            M1Writer w{op, end};
            const bool ok = m1_put_token_general(w, literals, count, length, static_cast<uint32_t>(distance));
            op = w.op;
            return ok;
        }
        bool finish(const uint8_t* literals, uint32_t count) { return put(literals, count, 0, 0); }
    };
};

} // namespace

uint32_t m1_compress_optimal(const BlockCall& job) { return optimal_compress<M1Dialect>(job); }

} // namespace qrn
