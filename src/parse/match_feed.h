// The match finder on a second thread, running ahead of a level-9 parse.
//
// The parse searches positions one after another, except that a match longer
// than LONG_MATCH_LENGTH lets it jump to where the match ends, and a window
// may end past its last position (its last step runs on). The finder thread
// searches and inserts positions in order, handing each one's candidates over
// through a bounded ring, and stops where the parse might not go on in order:
// after a position with a candidate longer than LONG_MATCH_LENGTH, and at the
// end of the parse's window. A stopped finder waits for the parse to say
// where to go on (an order: first position and window end).
//
// The trie must hold exactly the positions the parse searches, in its order.
// A long match at a repeat distance whose source the trie never received (a
// position the parse jumped over) is one the trie cannot show; the finder
// keeps an index of such skipped stretches (every 64th position, by its next
// 200 bytes, and each of its last 64) and also stops where a match of more than LONG_MATCH_LENGTH
// bytes from one of them starts. A position the trie dropped (a newer one
// with the same next bytes took its leaf) is a source it cannot show either.
// A candidate of more than LONG_MATCH_LENGTH - SHARED_BYTES bytes may stand
// for such a position: the finder keeps which leaf each search took over and
// follows that line back, stopping only where one of them matches longer.
// Should the parse jump over positions the finder has already inserted, the
// take reports FEED_RETRY and the caller codes the block again from the
// start, the finder now stopping where the parse jumped; after
// FEED_ATTEMPTS such tries, on one thread. The output is the same each way.
#pragma once

#include <algorithm>
#include <cstdint>

#include "parse/match_finder.h"

namespace qrn {

enum : int { FEED_OK = 0, FEED_FAIL = 1, FEED_RETRY = 2 };

struct MatchFeed;

// Smallest block coded with a finder thread.
constexpr uint32_t FEED_MIN_BLOCK = uint32_t{1} << 16;
// Codings of one block that may end in FEED_RETRY before it is coded on one thread.
constexpr int FEED_ATTEMPTS = 3;

// Where the parse of a block jumped while the finder went on, ascending.
struct FeedStops {
    uint32_t at[FEED_ATTEMPTS];
    int count = 0;
};

// Whether a block of `block_size` bytes gets a finder thread (the caller
// allows `helpers` threads; `stops`: the block's tries so far).
bool feed_wanted(uint32_t block_size, uint8_t helpers, const FeedStops& stops);
// Starts the finder thread on `mf` (created, holding position 0; the thread
// owns it and its pool until feed_stop); the parse takes no match farther
// than `max_distance`, and the finder also stops after the positions of
// `stops`. Null when no thread could be started.
MatchFeed* feed_start(const MatchFinder& mf, uint32_t max_distance, const FeedStops& stops);
// The candidates of position `pos`, which the parse searches next in its
// window ending at `window_end`: FEED_OK (*pairs valid until the next take),
// FEED_FAIL (the pool yielded no node there) or FEED_RETRY (the finder has
// inserted positions the parse skips).
int feed_take(MatchFeed* feed, uint32_t pos, uint32_t window_end, const MatchPair** pairs, int* last,
              uint32_t* depth);
// Where the parse jumps over a long match, its repeat distances at the
// position it goes on from (the finder also stops where one of them matches
// longer than LONG_MATCH_LENGTH); before the take of that position.
constexpr int FEED_REPS = 4;
void feed_note_reps(MatchFeed* feed, const uint32_t* reps, int count);
// Ends the thread and frees the feed (null: nothing). After a FEED_RETRY,
// adds the position the parse jumped from to `stops`.
void feed_stop(MatchFeed* feed, FeedStops* stops);

// Codes a block by `attempt(stops, &again)` until a try need not be made again.
template <class Attempt>
uint32_t feed_code_block(Attempt attempt)
{
    FeedStops stops;
    for (;;) {
        bool again = false;
        const uint32_t result = attempt(stops, &again);
        if (!again)
            return result;
    }
}

// Tests: with `threads_for_all`, a block of any size gets a finder thread
// when its caller allows one; with `never_stop_at_long`, the finder stops
// only at window ends and at the positions of FeedStops, so that a long
// match makes the parse jump over inserted positions (the slow path).
void feed_test_force(bool threads_for_all, bool never_stop_at_long);
// Finder threads started, and takes that reported FEED_RETRY, since the start.
struct FeedCounts {
    uint64_t started;
    uint64_t retries;
};
FeedCounts feed_counts();

// Where a parse gets its candidates: the match finder itself, or a feed.
struct MatchSource {
    MatchFinder mf;
    MatchPair* pairs;            // room for MATCH_LIMIT + 1 (own search)
    MatchFeed* feed = nullptr;
};

inline int source_find(MatchSource& s, uint32_t pos, uint32_t window_end, const MatchPair** pairs, int* last,
                       uint32_t* depth)
{
    int status = FEED_OK;
    if (s.feed) {
        status = feed_take(s.feed, pos, window_end, pairs, last, depth);
    } else {
        *pairs = s.pairs;
        if (!mf_find(&s.mf, pos, std::min(s.mf.block_size - pos, MATCH_LIMIT), s.pairs, last, depth))
            status = FEED_FAIL;
    }
    // The parse extends each candidate from its known length: the bytes it
    // reads there lie anywhere in the block, so their loads start together.
    if (status == FEED_OK)
        for (int k = 0; k <= *last; ++k)
            __builtin_prefetch(s.mf.block + (*pairs)[k].position + (*pairs)[k].length);
    return status;
}

inline void source_note_reps(MatchSource& s, const uint32_t* reps, int count)
{
    if (s.feed)
        feed_note_reps(s.feed, reps, count);
}

} // namespace qrn
