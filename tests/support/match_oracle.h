// Drives the match finder over a whole block, position by position, and
// checks every answer against the block itself: shared by the unit test and
// the fuzz target. Returns an empty string, or what went wrong.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "parse/match_finder.h"

namespace qrn {

constexpr uint32_t LEAF_AGREEMENT = 256;

// `step(pos)` > 1 skips positions, as the level-9 parse does after a long match.
template <class Step>
std::string match_oracle_run(const uint8_t* block, uint32_t n, uint32_t max_limit, Step step)
{
    // Common prefix of the suffixes at a < b, up to `cap` bytes.
    auto lcp = [&](uint32_t a, uint32_t b, uint32_t cap) {
        uint32_t k = 0;
        while (k < cap && b + k < n && block[a + k] == block[b + k])
            ++k;
        return k;
    };
    SegmentPool* pool = new SegmentPool;
    pool_clear(pool);
    std::string error;
    MatchFinder mf;
    std::vector<MatchPair> pairs(max_limit + 1);
    std::vector<uint32_t> inserted{0};
    if (n == 0 || !mf_create(&mf, block, n, 0, pool))
        error = n == 0 ? "" : "mf_create failed";
    for (uint32_t pos = 1; pos < n && error.empty(); pos += step(pos)) {
        const uint32_t limit = std::min(n - pos, max_limit);
        int last = -2;
        uint32_t depth = 0;
        if (!mf_find(&mf, pos, limit, pairs.data(), &last, &depth)) {
            error = "mf_find failed";
            break;
        }
        const std::string at = " at " + std::to_string(pos) + " limit " + std::to_string(limit);
        if (last < 0 || pairs[0].position != inserted.back()) {
            // The root is stamped by every search unless it is a full direct branch.
            if (last < 0 || pairs[0].position > inserted.back())
                error = "pairs[0] is not the last position inserted" + at;
        }
        uint32_t best = 0;
        for (int i = 0; i <= last && error.empty(); ++i) {
            const MatchPair& m = pairs[i];
            if (m.position >= pos || (i > 0 && (m.position >= pairs[i - 1].position || m.length < pairs[i - 1].length)))
                error = "pairs out of order" + at;
            else if (m.length > limit || lcp(m.position, pos, m.length) < m.length)
                error = "pair " + std::to_string(i) + " is not a common prefix" + at;
            best = std::max(best, lcp(m.position, pos, limit));
        }
        // What must be found: a descent that reaches the limit after a branch
        // records that branch's candidate one byte short of it, and a
        // position whose leaf agreed with a newer one for 256 bytes left the
        // trie (the newer one still matches at least that far).
        const uint32_t cap = std::min(limit - 1, LEAF_AGREEMENT);
        uint32_t longest = 0;
        for (size_t i = inserted.size(); i-- > 0 && longest < cap;)
            longest = std::max(longest, lcp(inserted[i], pos, cap));
        if (error.empty() && best < longest)
            error = "longest match " + std::to_string(longest) + " not found (best " + std::to_string(best) + ")" + at;
        inserted.push_back(pos);
    }
    pool_release_all(pool);
    delete pool;
    return error;
}

} // namespace qrn
