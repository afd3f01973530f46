#include "codecs/codec_plan.h"

#include <algorithm>
#include <mutex>

#include "ans/ans.h"
#include "codecs/codec_table.h"
#include "codecs/m3/m3.h"
#include "codecs/m4/m4.h"
#include "parse/segment_pool.h"
#include "platform/platform.h"

namespace qrn {

namespace {

constexpr uint64_t MIB = uint64_t{1} << 20;
constexpr uint64_t LEVEL0_BLOCK = 4 * MIB;
constexpr uint64_t FAST_BLOCK = 64 * MIB;
constexpr uint64_t STRONG_BLOCK_MIN = 32 * MIB;
constexpr uint32_t STRONG_MEMORY_SHARE = 14;   // a level-9 block and its parse fit 1/14 of memory per worker
constexpr uint64_t STRONG_BLOCK_MEMORY = 11;   // a level-9 worker's peak memory per byte of its block
// Under a hard limit the whole run must fit: a trie takes up to about 13
// bytes per byte of its block on common data and must stay within the pool's
// budget (3/4 of the memory); the block's buffers, the one read ahead and
// about 100 MiB of tables take the rest.
constexpr uint32_t STRONG_LIMITED_SHARE = 20;
constexpr uint64_t STRONG_LIMITED_MIN = 1 * MIB;
constexpr uint64_t TRIE_BYTES_PER_BYTE = 32;   // address space planned per byte of a block being parsed
constexpr int32_t HASH_BITS_MIN = 10;
constexpr int32_t LEVEL0_HASH_BITS_MAX = 16;

// Rows: method 1..4; columns: level 0, 1, 2, 9.
constexpr int32_t HASH_BITS_TABLE[4][4] = {
    {16, 20, 24, 16},
    {16, 20, 26, 16},
    {16, 20, 26, 0},
    {0, 0, 0, 0},
};

bool pool_started = false;

} // namespace

CodecPlan codec_plan(int method, int level)
{
    CodecPlan plan;
    plan.method = static_cast<uint8_t>(method);
    plan.level = static_cast<uint8_t>(level);
    const int column = level == 9 ? 3 : level;
    plan.level_known = (level >= 0 && level <= 2) || level == 9;
    const bool method_known = method >= 1 && method <= METHOD_COUNT;
    // Method 4 has level 9 only.
    plan.exists = plan.level_known && method_known && (method != 4 || level == 9);
    if (method_known && plan.level_known)
        plan.hash_bits_default = HASH_BITS_TABLE[method - 1][column];
    plan.hash_bits_min = HASH_BITS_MIN;
    plan.hash_bits_max = level == 0 ? LEVEL0_HASH_BITS_MAX : 0;
    if (level == 0) {
        plan.block_size = LEVEL0_BLOCK;
    } else if (level == 9) {
        plan.memory_share = STRONG_MEMORY_SHARE;
        plan.block_min = STRONG_BLOCK_MIN;
        plan.limited_share = STRONG_LIMITED_SHARE;
        plan.limited_min = STRONG_LIMITED_MIN;
        plan.cut_to_file = true;
    } else {
        plan.block_size = FAST_BLOCK;
        plan.cut_to_file = true;
    }
    if (!plan.exists)
        return plan;
    plan.queue_one = level == 9;
    plan.prepare_ans_encoder = method == 3;
    plan.prepare_price_tables = level == 9 && (method == 3 || method == 4);
    plan.prepare_segment_pool = level == 9;
    return plan;
}

CodecPlan codec_plan_decode()
{
    CodecPlan plan;
    plan.prepare_ans_decoder = true;
    return plan;
}

int32_t codec_plan_hash_bits(const CodecPlan& plan, int32_t requested)
{
    if (requested == 0)
        return plan.hash_bits_default;
    int32_t bits = requested < plan.hash_bits_min ? plan.hash_bits_min : requested;
    if (plan.hash_bits_max != 0 && bits > plan.hash_bits_max)
        bits = plan.hash_bits_max;
    return bits;
}

uint64_t codec_plan_block_size(const CodecPlan& plan, uint64_t requested, int threads, int64_t file_bytes,
                               uint64_t memory, bool memory_is_limit)
{
    if (requested != 0)
        return requested;
    uint64_t size = plan.block_size;
    const uint64_t workers = static_cast<uint64_t>(threads > 0 ? threads : 1);
    if (plan.memory_share != 0 && memory_is_limit) {
        // The machine's memory leaves room to page; a cgroup or address-space
        // limit does not: the process is killed or refused at it.
        size = std::max(memory / plan.limited_share / workers, plan.limited_min);
    } else if (plan.memory_share != 0) {
        size = std::max(memory / plan.memory_share / workers, plan.block_min);
    }
    if (plan.cut_to_file && file_bytes >= 0 && static_cast<uint64_t>(file_bytes) < size)
        size = static_cast<uint64_t>(file_bytes);
    return size;
}

uint64_t codec_plan_block_memory(const CodecPlan& plan, uint64_t block_size)
{
    return plan.prepare_segment_pool ? STRONG_BLOCK_MEMORY * block_size : 0;
}

uint64_t codec_plan_helper_memory(const CodecPlan& plan, uint64_t block_size)
{
    return plan.prepare_segment_pool ? block_size + block_size / 4 : 0;
}

void codecs_plan_tries(const CodecPlan& plan, uint64_t block_size, int builders)
{
    // Address space costs nothing until it is used, so without a limit on it
    // the pool keeps its whole window: every block has the room it always had.
    if (!plan.prepare_segment_pool || address_space_limit() == 0)
        return;
    // A trie takes 10 to 12 bytes per input byte; the bound (a branch and two
    // edges for every position) leaves room for the worst data. Each size class in use holds a segment of its own, and a
    // block of n bytes has at most 2n + 2 classes.
    const uint64_t classes = std::min<uint64_t>(POOL_CLASSES, 2 * block_size + 2);
    const uint64_t trie = TRIE_BYTES_PER_BYTE * block_size + classes * POOL_SEGMENT_BYTES;
    pool_plan(trie * static_cast<uint64_t>(builders > 0 ? builders : 1));
}

int codec_plan_queue_depth(const CodecPlan& plan, int threads)
{
    return plan.queue_one ? 1 : threads + 1;
}

void codecs_prepare(int processor_level, const CodecPlan& plan)
{
    if (plan.prepare_ans_decoder)
        ansc_select_decoder(processor_level);
    if (plan.prepare_ans_encoder)
        ansc_select_encoder(processor_level);
    if (plan.prepare_price_tables && plan.method == 3)
        m3_prepare_level9();
    if (plan.prepare_price_tables && plan.method == 4)
        m4_prepare_level9();
    if (plan.prepare_segment_pool) {
        pool_init(POOL_START_MASK);
        pool_started = true;
    }
}

void codecs_release()
{
    if (pool_started)
        pool_close();
    pool_started = false;
}

void codecs_prepare_shared(int processor_level, const CodecPlan& plan)
{
    static std::once_flag decoder_once, encoder_once;
    if (plan.prepare_ans_decoder)
        std::call_once(decoder_once, [=] { ansc_select_decoder(processor_level); });
    if (plan.prepare_ans_encoder)
        std::call_once(encoder_once, [=] { ansc_select_encoder(processor_level); });
    // The price tables fill themselves once.
    if (plan.prepare_price_tables && plan.method == 3)
        m3_prepare_level9();
    if (plan.prepare_price_tables && plan.method == 4)
        m4_prepare_level9();
}

namespace {
void pool_notice_silent(PoolNotice) {}
} // namespace

void codecs_quiet_pool() { pool_notice = pool_notice_silent; }

} // namespace qrn
