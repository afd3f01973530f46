// Method 2 stream format: constants shared by its decoder and compressors.
//
// Every token starts with a little-endian token word; bits 0..2 are the
// match-length field (7 = escape to an extension byte), bit 3 tells the
// two-byte short form (clear) from the longer forms.
//   short form, both dialects:  bits 4..5 literal count (3 = escape),
//                               bits 6..15 distance 1..1023, 0 = end token
//   plain dialect, bit 3 set:   bit 4 selects a 16-bit (3-byte token) or
//                               24-bit (4-byte token) distance in bits 8..;
//                               bits 5..7 literal count (7 = escape)
//   level-9 dialect, bit 3 set: bits 4..5 select 15-, 23- or 31-bit distance
//                               tokens (3, 4, 5 bytes) or a one-byte token
//                               that repeats the last distance.
#pragma once

#include <cstdint>

namespace qrn {

constexpr uint32_t M2_SHORT_MAX_DISTANCE = 1023;
constexpr uint32_t M2_THREE_BYTE_MAX_DISTANCE = 65535;
// Largest distance the plain dialect's four-byte token carries.
constexpr uint32_t M2_MAX_DISTANCE = 16777215;

// Plain dialect: minimum match by block level.
constexpr uint32_t m2_plain_min_match(uint32_t level) { return level <= 1 ? 4 : 3; }

// Levels 1 and 2 drop a match whose distance is at or above this limit,
// indexed by min(length, 9): a short match must be near to pay for its token.
constexpr uint32_t MaxDistanceByLength[10] = {0,        0,        0,        3100,     71680,
                                              16777216, 16777216, 16777216, 16777216, 16777216};

} // namespace qrn
