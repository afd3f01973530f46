#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "parse/match_finder.h"
#include "parse/segment_pool.h"
#include "support/match_oracle.h"

namespace qrn {
namespace {

constexpr uint32_t EDGE_CLASS = 256;   // 8-byte objects

struct Pool {
    SegmentPool p;
    Pool() { pool_clear(&p); }
    ~Pool() { pool_release_all(&p); }
};

TEST(SegmentPool, ClassesCutSegmentsAndReuseLastFreedFirst)
{
    pool_init(POOL_START_MASK);
    Pool pool;
    // 16 + n * 8 < 262144: 32765 objects of 8 bytes per segment, not 32766.
    std::vector<uint8_t*> objects;
    for (int i = 0; i < 32766; ++i)
        objects.push_back(static_cast<uint8_t*>(pool_alloc(&pool.p, 8, EDGE_CLASS)));
    EXPECT_EQ(pool.p.classes[EDGE_CLASS].segment_count, 2u);
    EXPECT_EQ(pool_segment_of(objects[32764]), pool_segment_of(objects[0]));
    EXPECT_NE(pool_segment_of(objects[32765]), pool_segment_of(objects[0]));
    EXPECT_EQ(pool_class_of(objects[5]), EDGE_CLASS);
    EXPECT_EQ(objects[0], pool_base() + POOL_SEGMENT_HEADER);
    // A class's first segment comes from the region's small pages (its first
    // 128 MiB), its later ones from the huge pages after them.
    EXPECT_EQ(reinterpret_cast<uint8_t*>(pool_segment_of(objects[32765])), pool_base() + (128 << 20));

    // Sizes round up to 8; the class, not the size, picks the segment.
    uint8_t* a = static_cast<uint8_t*>(pool_alloc(&pool.p, 14, 1));
    uint8_t* b = static_cast<uint8_t*>(pool_alloc(&pool.p, 14, 1));
    EXPECT_EQ(b - a, 16);
    EXPECT_EQ(pool_class_of(a), 1u);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(pool_segment_of(a)), pool_base() + POOL_SEGMENT_BYTES);

    pool_free(&pool.p, nullptr);
    pool_free(&pool.p, objects[7]);
    pool_free(&pool.p, objects[9]);
    EXPECT_EQ(pool_alloc(&pool.p, 8, EDGE_CLASS), objects[9]);
    EXPECT_EQ(pool_alloc(&pool.p, 8, EDGE_CLASS), objects[7]);

    // Emptying the first segment takes its objects off the free list and
    // hands the segment back; the next new segment is that one again.
    for (int i = 0; i < 32765; i += 2)
        pool_free(&pool.p, objects[i]);
    for (int i = 1; i < 32765; i += 2)
        pool_free(&pool.p, objects[i]);
    EXPECT_EQ(pool.p.classes[EDGE_CLASS].segment_count, 1u);
    std::set<SegmentHeader*> seen;
    for (uint8_t* o = pool.p.classes[EDGE_CLASS].free_objects; o; o = *reinterpret_cast<uint8_t**>(o))
        seen.insert(pool_segment_of(o));
    EXPECT_TRUE(seen.empty());
    uint8_t* c = static_cast<uint8_t*>(pool_alloc(&pool.p, 40, 7));
    EXPECT_EQ(pool_segment_of(c), pool_segment_of(objects[0]));
}

TEST(SegmentPool, RegionsComeAndGoWithTheirSegments)
{
    // Regions of two segments: slots 0, 1, 2, 4 and 5 hold ten segments in all.
    pool_init(POOL_START_MASK, 2 * POOL_SEGMENT_BYTES);
    {
        Pool pool;
        uint8_t* first = static_cast<uint8_t*>(pool_alloc(&pool.p, 8, 256));
        uint8_t* second = static_cast<uint8_t*>(pool_alloc(&pool.p, 8, 257));
        uint8_t* third = static_cast<uint8_t*>(pool_alloc(&pool.p, 8, 258));
        EXPECT_EQ(pool_regions_in_use(), 2);
        EXPECT_EQ(third - first, ptrdiff_t(2 * POOL_SEGMENT_BYTES));   // slot 1
        pool_free(&pool.p, third);
        EXPECT_EQ(pool_regions_in_use(), 1);
        pool_free(&pool.p, second);
        std::vector<void*> spread;   // one object in each segment of every region
        for (uint32_t cls = 300; cls < 309; ++cls)
            spread.push_back(pool_alloc(&pool.p, 8, cls));
        for (uint32_t cls = 300; cls < 309; ++cls) {
            ASSERT_NE(spread[cls - 300], nullptr);
            EXPECT_EQ(pool_class_of(spread[cls - 300]), cls);
            const auto reference = uint32_t((static_cast<uint8_t*>(spread[cls - 300]) - pool_base()) / 8);
            EXPECT_EQ(pool_class_of_reference(reference), cls);
        }
        EXPECT_EQ(pool_class_of(first), 256u);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(pool_alloc(&pool.p, 8, 400), nullptr);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Too many seg allocated\n");
        EXPECT_EQ(pool_regions_in_use(), 5);
        // A reference of every object stays below the leaf marks.
        for (uint32_t cls = 300; cls < 309; ++cls)
            EXPECT_LT((pool.p.classes[cls].segments - pool_base()) / 8, 0xC0000000);
    }
    EXPECT_EQ(pool_regions_in_use(), 0);

    // A memory budget of three segments: freed segments are reused, a fourth
    // new one is refused.
    pool_init(POOL_START_MASK, POOL_REGION_BYTES, 3 * POOL_SEGMENT_BYTES);
    {
        Pool pool;
        void* a = pool_alloc(&pool.p, 8, 256);
        ASSERT_NE(pool_alloc(&pool.p, 8, 257), nullptr);
        ASSERT_NE(pool_alloc(&pool.p, 8, 258), nullptr);
        pool_free(&pool.p, a);
        ASSERT_NE(pool_alloc(&pool.p, 8, 259), nullptr);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(pool_alloc(&pool.p, 8, 260), nullptr);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Too many seg allocated\n");
    }

    // A region without huge pages: a class's second segment is the next one of the same region.
    pool_init(POOL_START_MASK, 2 * POOL_SEGMENT_BYTES);
    {
        Pool pool;
        void* first = pool_alloc(&pool.p, 8, 256);
        void* last = nullptr;
        for (int i = 0; i < 32765; ++i)
            last = pool_alloc(&pool.p, 8, 256);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(pool_segment_of(last)) - reinterpret_cast<uint8_t*>(pool_segment_of(first)),
                  ptrdiff_t(POOL_SEGMENT_BYTES));
        EXPECT_EQ(pool_regions_in_use(), 1);
    }
    pool_init(POOL_START_MASK);
}

std::vector<uint8_t> block_of(uint32_t n, uint32_t alphabet, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> b(n);
    for (auto& x : b)
        x = uint8_t(rng() % alphabet);
    // Long repeats of earlier stretches.
    for (uint32_t i = 0; i + 600 < n && i < 3; ++i) {
        const uint32_t from = rng() % (n / 2), to = n / 2 + rng() % (n / 2 - 600), len = 100 + rng() % 500;
        std::copy(b.begin() + from, b.begin() + from + len, b.begin() + to);
    }
    return b;
}

TEST(MatchFinder, AnswersMatchTheBlock)
{
    struct Case {
        uint32_t n, alphabet, limit, skip;
    };
    // Small and full alphabets (every branch form; 20: small branches whose
    // keys take three words), limits from 1 up, skipped positions, and one
    // repeated byte.
    for (const Case& c : {Case{3000, 2, 1024, 1}, Case{3000, 4, 7, 1}, Case{4000, 256, 1024, 1},
                          Case{3000, 3, 1, 1}, Case{3000, 5, 300, 37}, Case{2000, 1, 1024, 1},
                          Case{6000, 20, 1024, 5}}) {
        const auto block = block_of(c.n, c.alphabet, c.n + c.alphabet);
        const std::string error = match_oracle_run(block.data(), c.n, c.limit, [&](uint32_t pos) {
            return pos % 97 == 0 ? c.skip : 1;
        });
        EXPECT_EQ(error, "") << c.n << " bytes, alphabet " << c.alphabet << ", limit " << c.limit;
    }
}

TEST(MatchFinder, RepeatedByteKeepsTheLatestPosition)
{
    const std::vector<uint8_t> block(5000, 'z');
    Pool pool;
    MatchFinder mf;
    ASSERT_TRUE(mf_create(&mf, block.data(), 5000, 0, &pool.p));
    std::vector<MatchPair> pairs(MATCH_LIMIT + 1);
    for (uint32_t pos = 1; pos < 5000; ++pos) {
        int last = -1;
        uint32_t depth = 0;
        ASSERT_TRUE(mf_find(&mf, pos, std::min(5000 - pos, MATCH_LIMIT), pairs.data(), &last, &depth));
        ASSERT_GE(last, 0);
        EXPECT_EQ(pairs[last].position, pos - 1) << pos;   // distance 1, the longest
    }
}

} // namespace
} // namespace qrn
