#include "container/filters.h"

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

// First position from `pos` below `limit` holding E8 or E9, or `limit`.
// Sixteen bytes at a time where SSE2 is there (every x86-64 processor), then
// eight at a time: a byte of the word is zero after masking and XOR exactly
// where an opcode stands, and the lowest flagged byte is always exact.
size_t find_branch_opcode(const uint8_t* data, size_t pos, size_t limit)
{
#if defined(__SSE2__)
    const __m128i low_bit_off = _mm_set1_epi8(static_cast<char>(0xFE));
    const __m128i opcode = _mm_set1_epi8(static_cast<char>(0xE8));
    while (pos + 16 <= limit) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, low_bit_off), opcode)));
        if (hits)
            return pos + static_cast<size_t>(__builtin_ctz(hits));
        pos += 16;
    }
#endif
    constexpr uint64_t ONES = 0x0101010101010101ull;
    while (pos + 8 <= limit) {
        const uint64_t x = (load_le64(data + pos) & (0xFE * ONES)) ^ (0xE8 * ONES);
        const uint64_t zero = (x - ONES) & ~x & (0x80 * ONES);
        if (zero)
            return pos + (static_cast<size_t>(__builtin_ctzll(zero)) >> 3);
        pos += 8;
    }
    while (pos < limit && (data[pos] & 0xFE) != 0xE8)
        ++pos;
    return pos;
}

} // namespace

uint8_t filter_for_name(const char* name)
{
    static_assert(TYPE_IMAGE != TYPE_EXECUTABLE);
    return type_filter(type_of_name(name));
}

void x86_convert(uint8_t* data, size_t size, uint32_t start_address, uint32_t state, bool encoding)
{
    if (size < 5)
        return;
    const uint32_t base = start_address + 5;
    uint32_t mask = state & 7;
    size_t prev = static_cast<size_t>(-1);
    size_t pos = 0;
    const size_t limit = size - 4;
    for (;;) {
        pos = find_branch_opcode(data, pos, limit);
        if (pos >= limit)
            break;
        const size_t d = pos - prev;
        if (d > 3) {
            mask = 0;
        } else {
            mask = (mask << (d - 1)) & 7;
            if (mask != 0) {
                const uint8_t b = data[pos + 4 - MASK_TO_BIT_NUMBER[mask]];
                if (!MASK_TO_ALLOWED[mask] || is_sign_byte(b)) {
                    prev = pos;
                    mask = ((mask << 1) & 7) | 1;
                    ++pos;
                    continue;
                }
            }
        }
        prev = pos;
        if (is_sign_byte(data[pos + 4])) {
            uint32_t src = load_le32(data + pos + 1);
            uint32_t dest;
            for (;;) {
                const uint32_t at = base + static_cast<uint32_t>(pos);
                dest = encoding ? src + at : src - at;
                if (mask == 0)
                    break;
                const uint32_t i = MASK_TO_BIT_NUMBER[mask] * 8u;
                const auto b = static_cast<uint8_t>(dest >> (24 - i));
                if (!is_sign_byte(b))
                    break;
                src = dest ^ ((1u << (32 - i)) - 1);
            }
            data[pos + 1] = static_cast<uint8_t>(dest);
            data[pos + 2] = static_cast<uint8_t>(dest >> 8);
            data[pos + 3] = static_cast<uint8_t>(dest >> 16);
            data[pos + 4] = (dest & (1u << 24)) ? 0xFF : 0x00;
            pos += 5;
        } else {
            mask = ((mask << 1) & 7) | 1;
            ++pos;
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
