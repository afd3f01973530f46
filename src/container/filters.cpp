#include "container/filters.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/bytes.h"

namespace qrn {

namespace {

constexpr int TYPE_EXECUTABLE = 4;
constexpr int TYPE_IMAGE = 2;

struct FileType {
    const char* extension;
    int type;
};

// Searched in order; the empty first row never matches.
constexpr FileType FILE_TYPE_TABLE[] = {
    {"", 0},       {"dll", 4},  {"exe", 4},  {"ocx", 4}, {"drv", 4},
    {"sys", 4},    {"tar", 4},  {"bmp", 2},  {"rgb", 2}, {"tif", 2},
    {"tiff", 2},   {"tga", 2},  {"wbm", 2},  {"wbmp", 2},
};

// Filter code of each type in the low 7 bits.
uint8_t type_filter(int type) { return type == TYPE_EXECUTABLE ? FILTER_X86 : FILTER_NONE; }

int type_of_name(const char* name)
{
    const size_t len = std::strlen(name);
    size_t i = len;
    while (i > 0) {
        const char c = name[i - 1];
        if (c == '/' || c == '\\')
            return 0;
        if (c == '.')
            break;
        --i;
    }
    if (i == 0)
        return 0;
    const size_t ext_len = len - i;
    if (ext_len < 2 || ext_len > 10)
        return 0;
    char ext[11];
    for (size_t k = 0; k < ext_len; ++k) {
        const char c = name[i + k];
        ext[k] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    ext[ext_len] = '\0';
    for (const FileType& row : FILE_TYPE_TABLE) {
        if (row.extension[0] != '\0' && std::strcmp(row.extension, ext) == 0)
            return row.type;
    }
    return 0;
}

constexpr uint8_t MASK_TO_ALLOWED[8] = {1, 1, 1, 0, 1, 0, 0, 0};
constexpr uint8_t MASK_TO_BIT_NUMBER[8] = {0, 1, 2, 2, 3, 3, 3, 3};

bool is_sign_byte(uint8_t b) { return b == 0x00 || b == 0xFF; }

// Bit i set where data[i] (i < n <= 64) is E8 or E9. Sixteen bytes at a
// time where SSE2 is there (every x86-64 processor), else one at a time.
uint64_t branch_opcodes(const uint8_t* data, size_t n)
{
    uint64_t hits = 0;
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i low_bit_off = _mm_set1_epi8(static_cast<char>(0xFE));
    const __m128i opcode = _mm_set1_epi8(static_cast<char>(0xE8));
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const auto m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, low_bit_off), opcode)));
        hits |= uint64_t{m} << i;
    }
#endif
    for (; i < n; ++i)
        hits |= uint64_t{(data[i] & 0xFE) == 0xE8} << i;
    return hits;
}

// The four bytes a converted hit gets: the low 24 bits of the address, and a
// sign byte from its bit 24.
inline uint32_t converted_word(uint32_t dest) { return (dest & 0xFFFFFF) | ((0u - ((dest >> 24) & 1)) << 24); }

// A hit that follows an unconverted one within three bytes: the mask decides
// whether it is converted, and a conversion may take several rounds. Returns
// whether it was converted.
bool convert_masked(uint8_t* data, size_t pos, uint32_t* mask, uint32_t base, bool encoding)
{
    const uint32_t m = *mask;
    if (!MASK_TO_ALLOWED[m] || is_sign_byte(data[pos + 4 - MASK_TO_BIT_NUMBER[m]]) || !is_sign_byte(data[pos + 4])) {
        *mask = ((m << 1) & 7) | 1;
        return false;
    }
    uint32_t src = load_le32(data + pos + 1);
    uint32_t dest;
    for (;;) {
        const uint32_t at = base + static_cast<uint32_t>(pos);
        dest = encoding ? src + at : src - at;
        const uint32_t i = MASK_TO_BIT_NUMBER[m] * 8u;
        if (!is_sign_byte(static_cast<uint8_t>(dest >> (24 - i))))
            break;
        src = dest ^ ((1u << (32 - i)) - 1);
    }
    store_le32(data + pos + 1, converted_word(dest));
    return true;
}

} // namespace

uint8_t filter_for_name(const char* name)
{
    static_assert(TYPE_IMAGE != TYPE_EXECUTABLE);
    return type_filter(type_of_name(name));
}

// The hits of 64 bytes are found at once and taken lowest first. A hit far
// from the previous one (the common case) is converted or not without a
// branch: its four bytes are rewritten either way. Only hits close behind an
// unconverted one take the masked path, and the hits inside a converted
// hit's four bytes are passed over; both are rare, so the loop's only
// dependency from hit to hit is the bit mask.
void x86_convert(uint8_t* data, size_t size, uint32_t start_address, uint32_t state, bool encoding)
{
    if (size < 5)
        return;
    const uint32_t base = start_address + 5;
    uint32_t mask = state & 7;
    size_t prev = static_cast<size_t>(-1);   // the last hit taken
    size_t next = 0;                         // no hit is taken before this (past a conversion)
    const size_t limit = size - 4;
    for (size_t w = 0; w < limit; w += 64) {
        uint64_t hits = branch_opcodes(data + w, std::min<size_t>(64, limit - w));
        while (hits) {
            const size_t pos = w + static_cast<size_t>(__builtin_ctzll(hits));
            hits &= hits - 1;
            if (pos < next)
                continue;
            const size_t d = pos - prev;
            const uint32_t m = d > 3 ? 0 : (mask << (d - 1)) & 7;
            prev = pos;
            if (m != 0) {
                mask = m;
                if (convert_masked(data, pos, &mask, base, encoding))
                    next = pos + 5;
                continue;
            }
            // Masks rather than conditions, which the compiler would turn into a branch.
            const uint32_t src = load_le32(data + pos + 1);
            const uint32_t convert = static_cast<uint8_t>(data[pos + 4] + 1) < 2;   // a sign byte
            const uint32_t at = base + static_cast<uint32_t>(pos);
            const uint32_t dest = encoding ? src + at : src - at;
            const uint32_t converted = converted_word(dest);
            const uint32_t keep = convert - 1;   // all ones where not converted
            const size_t keep_pos = size_t{convert} - 1;
            store_le32(data + pos + 1, (converted & ~keep) | (src & keep));
            next = ((pos + 5) & ~keep_pos) | (next & keep_pos);
            mask = convert ^ 1;
        }
    }
}

void delta3_encode(uint8_t* data, size_t size)
{
    const size_t end = size / 3 * 3;
    for (size_t i = end; i-- > 3;)
        data[i] = static_cast<uint8_t>(data[i] - data[i - 3]);
}

void delta3_decode(uint8_t* data, size_t size)
{
    const size_t end = size / 3 * 3;
    uint8_t sum[3] = {0, 0, 0};
    for (size_t i = 0; i < end; ++i) {
        sum[i % 3] = static_cast<uint8_t>(sum[i % 3] + data[i]);
        data[i] = sum[i % 3];
    }
}

void filter_apply(uint8_t filter, uint8_t* data, size_t size, bool encode)
{
    switch (filter & 15) {
    case FILTER_X86:
        x86_convert(data, size, 0, 0, encode);
        break;
    case FILTER_DELTA3:
        if (encode)
            delta3_encode(data, size);
        else
            delta3_decode(data, size);
        break;
    default:
        break;
    }
}

} // namespace qrn
