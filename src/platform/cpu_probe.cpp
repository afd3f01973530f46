// The processor probe: which vector instruction sets the program may use,
// as one level from 0 (none probed) to 8 (AVX2), read once and cached.
#include "platform/platform.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace qrn {

namespace {

int cached_level = -1;

#if defined(__x86_64__) || defined(__i386__)
uint64_t read_xcr0()
{
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (uint64_t{hi} << 32) | lo;
}

int probe()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(0, &a, &b, &c, &d) || a == 0)
        return 0;
    const unsigned max_leaf = a;
    __cpuid(1, a, b, c, d);
    const auto has = [](unsigned reg, int bit) { return (reg >> bit) & 1u; };
    if (!has(d, 0) || !(has(d, 15) && has(d, 23)) || !(has(d, 24) && has(d, 25)))
        return 0;
    if (!has(d, 26))
        return 1;
    if (!has(c, 0))
        return 2;
    if (!has(c, 9))
        return 3;
    if (!has(c, 19))
        return 4;
    if (!(has(c, 20) && has(c, 23)))
        return 5;
    int level = 6;
    if (has(c, 27) && (read_xcr0() & 6) == 6 && has(c, 28)) {
        level = 7;
        if (max_leaf >= 7) {
            __cpuid_count(7, 0, a, b, c, d);
            if (has(b, 5))
                level = 8;
        }
    }
    return level;
}
#else
int probe() { return 0; }
#endif

} // namespace

int cpu_feature_level()
{
    if (cached_level >= 0)
        return cached_level;
    cached_level = 0;
    cached_level = probe();
    return cached_level;
}

} // namespace qrn
