// The peers through their libraries: lz4 (fast and HC), zstd, xz (LZMA2) and
// zlib (deflate). Contexts are made once per trial and reused, as a careful
// user of each library would. No checksums anywhere: quarnix stores none.
#include <cstring>
#include <lz4.h>
#include <lz4hc.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include "bench.h"

namespace qrn::bench {

namespace {

// One coder: bound of the output for n input bytes, and the two directions.
// compress returns the bytes written, 0 on failure; decompress true when it
// produced exactly `out_size` bytes.
struct PeerCoder {
    const char* family;
    int level_min;        // the levels the family's names take (lz4-1 ... lz4-12)
    int level_max;
    size_t frame_bytes;   // bytes a block needs beside its coded data (lz4: its length)
    void* (*state_new)(int level);
    void (*state_free)(void* s);
    size_t (*bound)(size_t n);
    size_t (*compress)(void* s, int level, const uint8_t* in, size_t n, uint8_t* out, size_t cap);
    bool (*decompress)(void* s, const uint8_t* in, size_t n, uint8_t* out, size_t out_size);
};

// lz4 block format: level 1 is the fast coder at the default acceleration,
// 2 to 12 the HC coder at that level (2, its lightest search, is a point of
// its own here, where lz4's command line would fall back on the fast coder).
void* lz4_state_new(int level) { return ::operator new(level > 1 ? LZ4_sizeofStateHC() : LZ4_sizeofState()); }
void lz4_state_free(void* s) { ::operator delete(s); }
size_t lz4_bound(size_t n) { return static_cast<size_t>(LZ4_compressBound(static_cast<int>(n))); }
size_t lz4_compress(void* s, int level, const uint8_t* in, size_t n, uint8_t* out, size_t cap)
{
    const auto src = reinterpret_cast<const char*>(in);
    const auto dst = reinterpret_cast<char*>(out);
    const int r = level > 1 ? LZ4_compress_HC_extStateHC(s, src, dst, static_cast<int>(n), static_cast<int>(cap), level)
                            : LZ4_compress_fast_extState(s, src, dst, static_cast<int>(n), static_cast<int>(cap), 1);
    return r > 0 ? static_cast<size_t>(r) : 0;
}
bool lz4_decompress(void*, const uint8_t* in, size_t n, uint8_t* out, size_t out_size)
{
    const int r = LZ4_decompress_safe(reinterpret_cast<const char*>(in), reinterpret_cast<char*>(out),
                                      static_cast<int>(n), static_cast<int>(out_size));
    return r >= 0 && static_cast<size_t>(r) == out_size;
}

// zstd frames (content size recorded, no checksum), one context per direction.
struct ZstdState {
    ZSTD_CCtx* c;
    ZSTD_DCtx* d;
};
void* zstd_state_new(int) { return new ZstdState{ZSTD_createCCtx(), ZSTD_createDCtx()}; }
void zstd_state_free(void* p)
{
    auto* s = static_cast<ZstdState*>(p);
    ZSTD_freeCCtx(s->c);
    ZSTD_freeDCtx(s->d);
    delete s;
}
size_t zstd_bound(size_t n) { return ZSTD_compressBound(n); }
size_t zstd_compress(void* p, int level, const uint8_t* in, size_t n, uint8_t* out, size_t cap)
{
    const size_t r = ZSTD_compressCCtx(static_cast<ZstdState*>(p)->c, out, cap, in, n, level);
    return ZSTD_isError(r) ? 0 : r;
}
bool zstd_decompress(void* p, const uint8_t* in, size_t n, uint8_t* out, size_t out_size)
{
    const size_t r = ZSTD_decompressDCtx(static_cast<ZstdState*>(p)->d, out, out_size, in, n);
    return !ZSTD_isError(r) && r == out_size;
}

// xz container with one LZMA2 filter at the preset, no integrity check. The
// dictionary is cut to the input size (at least 4 KiB): a larger one cannot
// be used and would only cost set-up time on small blocks.
void* xz_state_new(int) { return nullptr; }
void xz_state_free(void*) {}
size_t xz_bound(size_t n) { return lzma_stream_buffer_bound(n); }
size_t xz_compress(void*, int level, const uint8_t* in, size_t n, uint8_t* out, size_t cap)
{
    lzma_options_lzma opt;
    if (lzma_lzma_preset(&opt, static_cast<uint32_t>(level)))
        return 0;
    const uint64_t dict_floor = LZMA_DICT_SIZE_MIN;
    const uint64_t dict_need = n > dict_floor ? n : dict_floor;
    if (opt.dict_size > dict_need)
        opt.dict_size = static_cast<uint32_t>(dict_need);
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    size_t pos = 0;
    if (lzma_stream_buffer_encode(filters, LZMA_CHECK_NONE, nullptr, in, n, out, &pos, cap) != LZMA_OK)
        return 0;
    return pos;
}
bool xz_decompress(void*, const uint8_t* in, size_t n, uint8_t* out, size_t out_size)
{
    uint64_t memlimit = UINT64_MAX;
    size_t in_pos = 0, out_pos = 0;
    const lzma_ret r = lzma_stream_buffer_decode(&memlimit, 0, nullptr, in, &in_pos, n, out, &out_pos, out_size);
    return r == LZMA_OK && in_pos == n && out_pos == out_size;
}

// Raw deflate (no zlib or gzip wrapper, so no Adler-32 or CRC-32), streams reused.
struct ZlibState {
    z_stream c;
    z_stream d;
};
void* zlib_state_new(int level)
{
    auto* s = new ZlibState{};
    deflateInit2(&s->c, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    inflateInit2(&s->d, -15);
    return s;
}
void zlib_state_free(void* p)
{
    auto* s = static_cast<ZlibState*>(p);
    deflateEnd(&s->c);
    inflateEnd(&s->d);
    delete s;
}
size_t zlib_bound(size_t n) { return compressBound(static_cast<uLong>(n)); }
size_t zlib_compress(void* p, int, const uint8_t* in, size_t n, uint8_t* out, size_t cap)
{
    z_stream& z = static_cast<ZlibState*>(p)->c;
    deflateReset(&z);
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(cap);
    return deflate(&z, Z_FINISH) == Z_STREAM_END ? static_cast<size_t>(z.total_out) : 0;
}
bool zlib_decompress(void* p, const uint8_t* in, size_t n, uint8_t* out, size_t out_size)
{
    z_stream& z = static_cast<ZlibState*>(p)->d;
    inflateReset(&z);
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(out_size);
    return inflate(&z, Z_FINISH) == Z_STREAM_END && z.total_out == out_size && z.avail_in == 0;
}

constexpr PeerCoder PEER_CODERS[] = {
    {"lz4", 1, LZ4HC_CLEVEL_MAX, 4, lz4_state_new, lz4_state_free, lz4_bound, lz4_compress, lz4_decompress},
    {"zstd", 1, 22, 0, zstd_state_new, zstd_state_free, zstd_bound, zstd_compress, zstd_decompress},
    {"xz", 0, 9, 0, xz_state_new, xz_state_free, xz_bound, xz_compress, xz_decompress},
    {"zlib", 1, Z_BEST_COMPRESSION, 0, zlib_state_new, zlib_state_free, zlib_bound, zlib_compress, zlib_decompress},
};
constexpr int PEER_CODER_COUNT = static_cast<int>(sizeof PEER_CODERS / sizeof PEER_CODERS[0]);

struct PeerBlock {
    size_t offset;       // coded bytes in `coded`
    size_t coded;
    size_t raw;
    bool compressed;     // false: kept raw (the coder did not shrink it)
};

struct PeerTrial final : Trial {
    const PeerCoder& coder;
    int level;
    const InputFile& file;
    size_t block;
    void* state;
    std::vector<uint8_t> coded;
    std::vector<PeerBlock> blocks;

    PeerTrial(const PeerCoder& c, int lvl, const InputFile& f, uint64_t block_bytes)
        : coder(c), level(lvl), file(f), block(block_bytes ? block_bytes : f.data.size()), state(c.state_new(lvl))
    {
        size_t room = 0;
        for (size_t pos = 0; pos < f.data.size(); pos += block)
            room += coder.bound(f.data.size() - pos < block ? f.data.size() - pos : block);
        coded.assign(room, 0);
    }
    ~PeerTrial() override { coder.state_free(state); }

    double compress(TrialResult* r) override
    {
        const size_t n = file.data.size();
        blocks.clear();
        const double start = now_seconds();
        size_t offset = 0;
        for (size_t pos = 0; pos < n; pos += block) {
            const size_t len = n - pos < block ? n - pos : block;
            const size_t cap = coder.bound(len);
            const size_t got = coder.compress(state, level, file.data.data() + pos, len, coded.data() + offset, cap);
            if (got == 0)
                r->failed = true;
            blocks.push_back({offset, got, len, got < len});
            offset += cap;
        }
        const double seconds = now_seconds() - start;
        // Like a block that quarnix stores raw, a block the peer could not
        // shrink costs its raw size (the peers' own formats store such blocks).
        for (const PeerBlock& b : blocks) {
            r->compressed_bytes += (b.compressed ? b.coded : b.raw) + coder.frame_bytes;
            if (!b.compressed)
                ++r->stored_blocks;
        }
        r->blocks = static_cast<uint32_t>(blocks.size());
        return seconds;
    }

    double decompress(uint8_t* out) override
    {
        const double start = now_seconds();
        size_t pos = 0;
        for (const PeerBlock& b : blocks) {
            if (b.compressed) {
                if (!coder.decompress(state, coded.data() + b.offset, b.coded, out + pos, b.raw))
                    return -1;
            } else {
                std::memcpy(out + pos, file.data.data() + pos, b.raw);
            }
            pos += b.raw;
        }
        return now_seconds() - start;
    }
};

} // namespace

std::vector<PeerSetting> peer_settings()
{
    std::vector<PeerSetting> out;
    for (const char* name : {"lz4-1", "lz4-9", "lz4-12", "zstd-1", "zstd-3", "zstd-6", "zstd-9", "zstd-19", "xz-6",
                             "xz-9", "zlib-6"}) {
        PeerSetting p;
        peer_setting_find(name, &p);
        out.push_back(p);
    }
    return out;
}

bool peer_family_known(const std::string& family)
{
    for (const PeerCoder& c : PEER_CODERS)
        if (family == c.family)
            return true;
    return false;
}

bool peer_setting_find(const std::string& codec, PeerSetting* out)
{
    const size_t dash = codec.find('-');
    // One or two digits, no leading zero: one name per level.
    if (dash == std::string::npos || dash + 1 == codec.size() || codec.size() - dash > 3 ||
        (codec[dash + 1] == '0' && codec.size() - dash > 2))
        return false;
    int level = 0;
    for (size_t i = dash + 1; i < codec.size(); ++i) {
        if (codec[i] < '0' || codec[i] > '9')
            return false;
        level = level * 10 + (codec[i] - '0');
    }
    for (int i = 0; i < PEER_CODER_COUNT; ++i) {
        const PeerCoder& c = PEER_CODERS[i];
        if (codec.compare(0, dash, c.family) != 0 || std::strlen(c.family) != dash)
            continue;
        if (level < c.level_min || level > c.level_max)
            return false;
        *out = {std::string(c.family) + "-" + std::to_string(level), c.family, level, i};
        return true;
    }
    return false;
}

Trial* peer_trial_new(const PeerSetting& p, const InputFile& f, uint64_t block)
{
    return new PeerTrial(PEER_CODERS[p.index], p.level, f, block);
}

std::string peer_versions()
{
    return std::string("lz4 ") + LZ4_versionString() + ", zstd " + ZSTD_versionString() + ", xz " +
           lzma_version_string() + ", zlib " + zlibVersion();
}

} // namespace qrn::bench
