// hash_bits per method and level when -D is not given. A copy of the
// program's table (src/cli/options.cpp), which is not part of libqrn; keep the
// two alike.
#pragma once

namespace qrn::bench {

// Rows: method 1..4; columns: level 0, 1, 2, 9.
constexpr int HASH_BITS_TABLE[4][4] = {
    {16, 20, 24, 16},
    {16, 20, 26, 16},
    {16, 20, 26, 0},
    {0, 0, 0, 0},
};

constexpr int bench_hash_bits(int method, int level)
{
    if (method < 1 || method > 4)
        return 0;
    const int column = level == 9 ? 3 : level;
    if (column < 0 || column > 3)
        return 0;
    return HASH_BITS_TABLE[method - 1][column];
}

} // namespace qrn::bench
