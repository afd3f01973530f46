// Quarnix in process: the same codec entries, block sizes, buffers, filter and
// record sizes as the compression and decompression pipelines, without files.
#include <cstring>

#include "bench.h"
#include "codecs/codec_plan.h"
#include "container/block_coding.h"
#include "container/container_format.h"
#include "container/filters.h"
#include "pipeline/startup.h"
#include "platform/platform.h"

namespace qrn::bench {

namespace {

constexpr int BENCH_THREADS = 1;   // single-threaded: the level-9 share is for one worker

struct QrnBlock {
    size_t offset;        // payload (or raw bytes) in the record store, 64 zero bytes behind
    uint32_t payload;
    uint32_t raw;
    bool compressed;
};

struct QrnTrial final : Trial {
    const InputFile& file;
    ContainerHeader header;          // the file's settings, as the pipeline sets them
    uint32_t block_size = 0;
    std::vector<uint8_t> in_buffer;  // one block at offset 1 + slack, as the pipeline reads it
    std::vector<uint8_t> out_buffer; // compress_capacity + slack
    std::vector<uint8_t> store;      // every record's bytes, each followed by zeroed slack
    std::vector<QrnBlock> blocks;

    QrnTrial(const QrnLevel& l, const InputFile& f, uint32_t block_override) : file(f)
    {
        header.method = static_cast<uint8_t>(l.method);
        header.level = static_cast<uint8_t>(l.level);
        header.hash_bits = codec_plan(l.method, l.level).hash_bits_default;
        header.filter = filter_for_name(f.name.c_str());
        header.bsize_code = bsize_encode(qrn_block_size(l, f.data.size(), block_override));
        block_size = header_block_size(header);
        const size_t n = f.data.size();
        const size_t count = (n + block_size - 1) / block_size;
        in_buffer.assign(block_size + size_t{BUFFER_SLACK}, 0);
        out_buffer.assign(compress_capacity(block_size) + BUFFER_SLACK, 0);
        store.assign(n + count * BUFFER_SLACK, 0);
        blocks.reserve(count);
    }

    double compress(TrialResult* r) override
    {
        const uint64_t capacity = compress_capacity(block_size);
        const uint8_t* src = file.data.data();
        const size_t n = file.data.size();
        double seconds = 0;
        size_t offset = 0;
        blocks.clear();
        r->compressed_bytes = HEADER_SIZE;
        for (size_t pos = 0; pos < n; pos += block_size) {
            const uint32_t len = static_cast<uint32_t>(n - pos < block_size ? n - pos : block_size);
            // The pipeline's read: the block at offset 1, then zeroed slack.
            std::memcpy(in_buffer.data() + 1, src + pos, len);
            std::memset(in_buffer.data() + 1 + len, 0, BUFFER_SLACK - 1);

            const double start = now_seconds();
            const EncodedRecord rec = block_encode(header, in_buffer.data(), len, out_buffer.data(), capacity);
            seconds += now_seconds() - start;

            // The payload (or the raw bytes) behind the record's front.
            const bool compressed = rec.buffer == out_buffer.data();
            const int front = compressed ? record_front_bytes(rec.data[0]) : 1;
            const uint32_t payload = rec.length - static_cast<uint32_t>(front);
            QrnBlock b{offset, payload, len, compressed};
            std::memcpy(store.data() + offset, rec.data + front, payload);
            std::memset(store.data() + offset + payload, 0, BUFFER_SLACK);
            offset += payload + size_t{BUFFER_SLACK};
            r->compressed_bytes += rec.length;
            if (!compressed) {
                ++r->stored_blocks;
                if (rec.coded == CODEC_FAIL)
                    ++r->declined_blocks;
            }
            blocks.push_back(b);
        }
        r->blocks = static_cast<uint32_t>(blocks.size());
        return seconds;
    }

    // Decodes every block straight into its place in `out`: a decoder's slack
    // writes land in the next block's room, which is written later anyway, or
    // in the 64 bytes behind the file.
    double decompress(uint8_t* out) override
    {
        const double start = now_seconds();
        size_t pos = 0;
        for (const QrnBlock& b : blocks) {
            uint8_t* dst = out + pos;
            if (b.compressed) {
                if (!block_decode(header, store.data() + b.offset, b.payload, dst, b.raw))
                    return -1;
            } else {
                std::memcpy(dst, store.data() + b.offset, b.raw);
                block_unfilter_raw(header, dst, b.raw);
            }
            pos += b.raw;
        }
        return now_seconds() - start;
    }
};

} // namespace

std::vector<QrnLevel> qrn_levels()
{
    std::vector<QrnLevel> levels;
    for (int m = 1; m <= 3; ++m)
        for (int l : {0, 1, 2, 9})
            levels.push_back({m, l});
    levels.push_back({4, 9});   // method 4 exists only at level 9
    return levels;
}

std::string qrn_codec_name(const QrnLevel& l)
{
    return "qrn-" + std::to_string(l.method) + std::to_string(l.level);
}

uint32_t qrn_block_size(const QrnLevel& l, uint64_t file_bytes, uint32_t block_override)
{
    const uint64_t size = codec_plan_block_size(codec_plan(l.method, l.level), block_override, BENCH_THREADS,
                                                static_cast<int64_t>(file_bytes), physical_memory(),
                                                memory_is_limited());
    return static_cast<uint32_t>(bsize_decode(bsize_encode(size)));
}

Trial* qrn_trial_new(const QrnLevel& l, const InputFile& f, uint32_t block_override)
{
    return new QrnTrial(l, f, block_override);
}

void qrn_startup() { startup_prepare(true, codec_plan_decode()); }

void qrn_prepare_level(const QrnLevel& l) { startup_prepare(true, codec_plan(l.method, l.level)); }

void qrn_shutdown() { startup_release(); }

} // namespace qrn::bench
