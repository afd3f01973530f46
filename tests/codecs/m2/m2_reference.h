// Method 2 written out plainly, for the tests and the fuzz targets: a
// byte-at-a-time reference decoder that also lists the tokens it met, and a
// token writer for both dialects (to build streams the compressors never write).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codecs/common/prefix_varint.h"
#include "codecs/m2/m2.h"

namespace qrn::m2test {

using Bytes = std::vector<uint8_t>;

// Token forms. Plain dialect: SHORT, PLAIN3, PLAIN4. Level-9 dialect: SHORT,
// L9_15, L9_23, L9_31, REPEAT.
enum Form { SHORT, PLAIN3, PLAIN4, L9_15, L9_23, L9_31, REPEAT };

struct Token {
    Form form;
    uint32_t lit;
    uint32_t len;   // 0 for the end token
    uint32_t dist;  // 0 for the end token; the distance used for REPEAT
    bool operator==(const Token&) const = default;
};

inline uint32_t min_match(Form f, int level)
{
    switch (f) {
    case L9_23: return 5;
    case L9_31: return 6;
    case SHORT: case PLAIN3: case PLAIN4: return level == 9 ? 3 : level <= 1 ? 4 : 3;
    default: return 3;
    }
}

// Decodes the whole stream one byte at a time. False on damage: a token or
// literal run beyond the stream, a long-form distance of 0, a source before
// the output start, no end token, or more than `max_out` bytes.
inline bool reference_decode(const Bytes& s, int level, Bytes* out, std::vector<Token>* tokens = nullptr,
                             size_t max_out = size_t(1) << 28)
{
    size_t i = 0;
    uint64_t rep = 1;
    out->clear();
    auto byte = [&](uint8_t* b) {
        if (i >= s.size())
            return false;
        *b = s[i++];
        return true;
    };
    auto ext = [&](uint64_t* v) {
        uint8_t b;
        if (!byte(&b))
            return false;
        if (b < 255) {
            *v = b;
            return true;
        }
        if (i >= s.size() || i + prefix_varint_width(s[i]) > s.size())
            return false;
        uint8_t tmp[8] = {};
        std::memcpy(tmp, &s[i], prefix_varint_width(s[i]));
        uint32_t x;
        i += prefix_varint_get(tmp, &x) - tmp;
        *v = uint64_t(x) + 255;
        return true;
    };
    for (;;) {
        uint8_t b[5] = {};
        if (!byte(&b[0]))
            return false;
        Form f;
        uint64_t lit, esc, dist;
        int size;
        if (!(b[0] & 8)) {
            f = SHORT, size = 2;
        } else if (level != 9) {
            f = (b[0] & 16) ? PLAIN4 : PLAIN3, size = (b[0] & 16) ? 4 : 3;
        } else {
            const int sel = (b[0] >> 4) & 3;
            f = sel == 0 ? L9_15 : sel == 1 ? L9_23 : sel == 2 ? L9_31 : REPEAT;
            size = sel == 3 ? 1 : 3 + sel;
        }
        for (int k = 1; k < size; ++k)
            if (!byte(&b[k]))
                return false;
        const uint64_t w = b[0] | uint64_t(b[1]) << 8 | uint64_t(b[2]) << 16 | uint64_t(b[3]) << 24;
        switch (f) {
        case SHORT: lit = (w >> 4) & 3, esc = 3, dist = (w >> 6) & 0x3FF; break;
        case PLAIN3: lit = (w >> 5) & 7, esc = 7, dist = (w >> 8) & 0xFFFF; break;
        case PLAIN4: lit = (w >> 5) & 7, esc = 7, dist = (w >> 8) & 0xFFFFFF; break;
        case L9_15: lit = (w >> 6) & 7, esc = 7, dist = (w >> 9) & 0x7FFF; break;
        case L9_23: lit = (w >> 6) & 7, esc = 7, dist = (w >> 9) & 0x7FFFFF; break;
        case L9_31: lit = (w >> 6) & 7, esc = 7, dist = ((w >> 9) & 0x7FFFFF) | uint64_t(b[4]) << 23; break;
        default: lit = (w >> 6) & 3, esc = 3, dist = rep; break;
        }
        uint64_t mv = w & 7;
        if (mv == 7 && !ext(&mv))
            return false;
        if (lit == esc && !ext(&lit))
            return false;
        if (lit > s.size() - i || lit > max_out - out->size())
            return false;
        out->insert(out->end(), s.begin() + i, s.begin() + i + lit);
        i += lit;
        if (dist == 0) {
            if (tokens)
                tokens->push_back({f, uint32_t(lit), 0, 0});
            return f == SHORT;
        }
        if (dist > out->size())
            return false;
        if (f != REPEAT)
            rep = dist;
        const uint64_t len = mv + min_match(f, level);
        if (len > max_out - out->size())
            return false;
        for (uint64_t k = 0; k < len; ++k)
            out->push_back((*out)[out->size() - dist]);
        if (tokens)
            tokens->push_back({f, uint32_t(lit), uint32_t(len), uint32_t(dist)});
    }
}

inline void put_ext(Bytes& s, uint64_t v)
{
    if (v < 255) {
        s.push_back(uint8_t(v));
        return;
    }
    s.push_back(255);
    uint8_t tmp[8];
    uint8_t* end = prefix_varint_put(tmp, uint32_t(v - 255));
    s.insert(s.end(), tmp, end);
}

// Appends one token (len 0 and dist 0 with SHORT: the end token) carrying
// `lits` as its literals. Fields that do not fit are the caller's mistake.
inline void put_token(Bytes& s, int level, Form f, const Bytes& lits, uint32_t len, uint32_t dist)
{
    const uint32_t lit = uint32_t(lits.size());
    const uint32_t mv = len == 0 ? 0 : len - min_match(f, level);
    const uint32_t mf = mv < 7 ? mv : 7;
    const uint32_t esc = (f == SHORT || f == REPEAT) ? 3 : 7;
    const uint32_t lf = lit < esc ? lit : esc;
    uint64_t w = 0;
    int size = 0;
    switch (f) {
    case SHORT: w = dist << 6 | lf << 4 | mf, size = 2; break;
    case PLAIN3: w = uint64_t(dist) << 8 | lf << 5 | 8 | mf, size = 3; break;
    case PLAIN4: w = uint64_t(dist) << 8 | lf << 5 | 24 | mf, size = 4; break;
    case L9_15: w = uint64_t(dist) << 9 | lf << 6 | 8 | mf, size = 3; break;
    case L9_23: w = uint64_t(dist) << 9 | lf << 6 | 24 | mf, size = 4; break;
    case L9_31:
        w = uint64_t(dist & 0x7FFFFF) << 9 | lf << 6 | 40 | mf | uint64_t(dist >> 23) << 32, size = 5;
        break;
    case REPEAT: w = lf << 6 | 56 | mf, size = 1; break;
    }
    for (int k = 0; k < size; ++k)
        s.push_back(uint8_t(w >> (8 * k)));
    if (mf == 7)
        put_ext(s, mv);
    if (lf == esc)
        put_ext(s, lit);
    s.insert(s.end(), lits.begin(), lits.end());
}

inline void put_end(Bytes& s, const Bytes& lits = {}) { put_token(s, 0, SHORT, lits, 0, 0); }

} // namespace qrn::m2test
