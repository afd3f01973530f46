#include "codecs/codec_table.h"

#include "ans/ans.h"
#include "parse/segment_pool.h"

#include "codecs/m1/m1.h"
#include "codecs/m2/m2.h"
#include "codecs/m3/m3.h"
#include "codecs/m4/m4.h"

namespace qrn {

const CodecEntry encoder_table[METHOD_COUNT + 1] = {nullptr, m1_compress, m2_compress, m3_compress,
                                                    m4_compress};
const CodecEntry decoder_table[METHOD_COUNT + 1] = {nullptr, m1_decompress, m2_decompress,
                                                    m3_decompress, m4_decompress};

namespace {

// Rows: method 1..4; columns: level 0, 1, 2, 9.
constexpr int HASH_BITS_TABLE[4][4] = {
    {16, 20, 24, 16},
    {16, 20, 26, 16},
    {16, 20, 26, 0},
    {0, 0, 0, 0},
};

} // namespace

int default_hash_bits(int method, int level)
{
    if (method < 1 || method > METHOD_COUNT)
        return 0;
    const int column = level == 9 ? 3 : level;
    if (column < 0 || column > 3)
        return 0;
    return HASH_BITS_TABLE[method - 1][column];
}

int effective_hash_bits(int requested, int method, int level)
{
    if (requested == 0)
        return default_hash_bits(method, level);
    int bits = requested < 10 ? 10 : requested;
    if (level == 0 && bits > 16)
        bits = 16;
    return bits;
}

namespace {
bool pool_started = false;
}

void codecs_prepare(int processor_level, int method, int level)
{
    if (method == 0)
        ansc_select_decoder(processor_level);
    else if (method == 3)
        ansc_select_encoder(processor_level);
    if (method == 3 && level == 9)
        m3_prepare_level9();
    if (method == 4 && level == 9)
        m4_prepare_level9();
    if (method != 0 && level == 9) {
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

} // namespace qrn
