// The match finder, position by position over a fuzzed block, against the
// block itself: positions strictly decreasing, lengths not decreasing, every
// pair a true common prefix, pairs[0] the position inserted last, and the
// longest match within the searched depth among the candidates.
//   byte 0: alphabet size - 1 (the block's bytes are taken modulo it)
//   bytes 1-2: the largest search limit, 1 to 1024
//   byte 3: positions skipped after every 64th (as after a long match)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/match_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4 || size > 4 + 4096)
        return 0;
    const uint32_t alphabet = data[0] + 1u;
    const uint32_t limit = 1 + (data[1] | data[2] << 8) % qrn::MATCH_LIMIT;
    const uint32_t skip = 1 + data[3] % 32;
    std::vector<uint8_t> block(data + 4, data + size);
    for (auto& b : block)
        b = static_cast<uint8_t>(b % alphabet);
    const std::string error = qrn::match_oracle_run(block.data(), static_cast<uint32_t>(block.size()), limit,
                                                    [&](uint32_t pos) { return pos % 64 == 0 ? skip : 1; });
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::abort();
    }
    return 0;
}
