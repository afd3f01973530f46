// qrn-bench: shared records of the in-process benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qrn::bench {

constexpr uint32_t MIB = 1024 * 1024;

struct BenchOptions {
    int runs = 5;            // timed runs per file, codec and direction (best is kept)
    double budget = 3.0;     // seconds per file, codec and direction; stops the repeats
    bool warm_up = true;     // one untimed run first
    uint32_t block_override = 0;   // like quarnix -b: one block size for every level
    bool peer_blocks = true;       // also run the peers on quarnix's block sizes
    std::vector<std::string> codec_filter;   // prefixes of codec names; empty = all
    std::string csv_path;
    bool per_file_tables = true;
};

struct InputFile {
    std::string name;           // base name (picks the content filter)
    std::vector<uint8_t> data;
};

// One compressed representation of a file, produced and consumed by a trial.
struct TrialResult {
    uint64_t compressed_bytes = 0;   // what would be on disk
    uint32_t blocks = 0;
    uint32_t stored_blocks = 0;      // blocks kept raw (coder declined or did not shrink them)
    uint32_t declined_blocks = 0;    // blocks the coder declined (CODEC_FAIL)
    bool failed = false;             // a coder reported an error
};

// A codec on one file: compress() codes the whole file once and returns the
// seconds spent coding (copies that only stand in for file reads and writes
// are not counted); decompress() restores it into `out` (room for the file
// plus 64 bytes) and returns the seconds, or a negative value on failure.
struct Trial {
    virtual ~Trial() = default;
    virtual double compress(TrialResult* r) = 0;
    virtual double decompress(uint8_t* out) = 0;
};

struct Row {
    std::string file;
    uint64_t file_bytes = 0;
    std::string codec;       // qrn-12, zstd-3, ...
    std::string family;      // quarnix, lz4, zstd, xz, zlib
    int method = 0;          // quarnix method (0 for peers)
    int level = 0;
    std::string mode;        // "pipeline" for quarnix; "whole" or "block" for peers
    uint64_t block_bytes = 0;   // nominal block size (0: the whole file in one piece)
    TrialResult result;
    double compress_s = 0;   // best timed run
    double decompress_s = 0;
    int compress_runs = 0;
    int decompress_runs = 0;
    bool verified = false;   // every decompression gave the input back byte for byte
    bool all_stored = false; // every block declined: the level has nothing to offer yet
};

// Runs a trial with warm-up, repeats and the byte-for-byte check of every
// decompression; fills the measured fields of `row`.
void measure_trial(Trial& t, const BenchOptions& o, const InputFile& f, Row* row);

// Quarnix through the codec tables, cut into blocks as the pipeline cuts them.
struct QrnLevel {
    int method;
    int level;
};
std::vector<QrnLevel> qrn_levels();
std::string qrn_codec_name(const QrnLevel& l);
// Block size the pipeline would choose for this level and file (single worker).
uint32_t qrn_block_size(const QrnLevel& l, uint64_t file_bytes, uint32_t block_override);
Trial* qrn_trial_new(const QrnLevel& l, const InputFile& f, uint32_t block_override);
// Start-up preparation the program does before coding (coder variants, tables).
void qrn_startup();
void qrn_prepare_level(const QrnLevel& l);
void qrn_shutdown();

// The peers, linked from their Debian development libraries.
struct PeerSetting {
    std::string codec;    // lz4-1, zstd-19, ...
    std::string family;
    int level;
    int index;            // which coder
};
// The set a run takes when no level is named (a family's name means its part).
std::vector<PeerSetting> peer_settings();
bool peer_family_known(const std::string& family);
// Any level of a peer by name (zstd-7, lz4-12, xz-0); false when the family
// has no such level.
bool peer_setting_find(const std::string& codec, PeerSetting* out);
// `block` 0: the whole file in one call.
Trial* peer_trial_new(const PeerSetting& p, const InputFile& f, uint64_t block);
std::string peer_versions();

// Generated inputs for quick runs and the smoke test.
std::vector<InputFile> synthetic_inputs(size_t bytes);

// Reports.
std::vector<Row> total_rows(const std::vector<Row>& rows);
void print_table(const char* title, const std::vector<Row>& rows);
void print_standing(const std::vector<Row>& totals);
// The peer rows that match or beat each quarnix row on ratio and both speeds.
void print_dominance(const char* title, const std::vector<Row>& rows);
bool write_csv(const std::string& path, const std::vector<Row>& rows);

std::string block_label(uint64_t block_bytes, uint64_t file_bytes);
double now_seconds();

} // namespace qrn::bench
