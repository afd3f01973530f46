// The readable tables, the standing of each quarnix level against the peers,
// and the CSV.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "bench.h"

namespace qrn::bench {

namespace {

constexpr double MB = 1e6;

double ratio_of(const Row& r)
{
    return r.result.compressed_bytes ? static_cast<double>(r.file_bytes) / static_cast<double>(r.result.compressed_bytes) : 0;
}

double mbps(uint64_t bytes, double seconds)
{
    return seconds > 0 ? static_cast<double>(bytes) / MB / seconds : 0;
}

std::string status_of(const Row& r)
{
    if (r.result.failed || !r.verified)
        return "failed";
    return r.all_stored ? "stored" : "ok";
}

std::string with_commas(uint64_t v)
{
    const std::string digits = std::to_string(v);
    std::string s;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            s += ',';
        s += digits[i];
    }
    return s;
}

std::string speed_text(const Row& r, double seconds)
{
    if (r.all_stored || r.result.failed)
        return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", mbps(r.file_bytes, seconds));
    return buf;
}

} // namespace

std::string block_label(uint64_t block_bytes, uint64_t file_bytes)
{
    if (block_bytes == 0 || block_bytes >= file_bytes)
        return "file";
    char buf[32];
    if (block_bytes % MIB == 0)
        std::snprintf(buf, sizeof buf, "%llu MiB", static_cast<unsigned long long>(block_bytes / MIB));
    else
        std::snprintf(buf, sizeof buf, "%llu KiB", static_cast<unsigned long long>(block_bytes / 1024));
    return buf;
}

std::vector<Row> total_rows(const std::vector<Row>& rows)
{
    std::vector<Row> totals;
    std::map<std::string, size_t> index;   // codec + mode (+ peer block size) -> totals entry
    for (const Row& r : rows) {
        // The block size a row really used; 0 when the file was one block.
        const uint64_t split = r.block_bytes < r.file_bytes ? r.block_bytes : 0;
        const std::string key = r.codec + "|" + r.mode + "|" + (r.mode == "block" ? std::to_string(r.block_bytes) : "");
        auto it = index.find(key);
        if (it == index.end()) {
            Row t = r;
            t.file = "TOTAL";
            t.block_bytes = split;
            index[key] = totals.size();
            totals.push_back(t);
            continue;
        }
        Row& t = totals[it->second];
        t.file_bytes += r.file_bytes;
        t.result.compressed_bytes += r.result.compressed_bytes;
        t.result.blocks += r.result.blocks;
        t.result.stored_blocks += r.result.stored_blocks;
        t.result.declined_blocks += r.result.declined_blocks;
        t.result.failed = t.result.failed || r.result.failed;
        t.compress_s += r.compress_s;
        t.decompress_s += r.decompress_s;
        t.compress_runs = std::min(t.compress_runs, r.compress_runs);
        t.decompress_runs = std::min(t.decompress_runs, r.decompress_runs);
        t.verified = t.verified && r.verified;
        t.all_stored = t.all_stored && r.all_stored;
        t.block_bytes = std::max(t.block_bytes, split);
    }
    return totals;
}

void print_table(const char* title, const std::vector<Row>& rows)
{
    if (rows.empty())
        return;
    std::printf("\n%s (%s bytes)\n", title, with_commas(rows.front().file_bytes).c_str());
    std::printf("%-8s  %-16s  %13s  %7s  %10s  %10s  %5s  %-6s  %s\n", "codec", "blocks", "bytes out", "ratio",
                "comp MB/s", "dec MB/s", "runs", "check", "note");
    for (const Row& r : rows) {
        std::string blocks = block_label(r.block_bytes, r.file_bytes);
        if (blocks != "file" && r.file != "TOTAL")
            blocks += " x" + std::to_string(r.result.blocks);
        if (r.mode == "block" && blocks == "file")
            continue;   // one block: the same as the whole-file row
        std::string note;
        if (r.all_stored)
            note = "every block stored: this level is not available yet";
        else if (r.result.stored_blocks)
            note = std::to_string(r.result.stored_blocks) + " of " + std::to_string(r.result.blocks) + " blocks stored";
        char ratio[32];
        std::snprintf(ratio, sizeof ratio, "%.3f", ratio_of(r));
        const std::string runs = std::to_string(r.compress_runs) + "/" + std::to_string(r.decompress_runs);
        std::printf("%-8s  %-16s  %13s  %7s  %10s  %10s  %5s  %-6s  %s\n", r.codec.c_str(), blocks.c_str(),
                    with_commas(r.result.compressed_bytes).c_str(), ratio, speed_text(r, r.compress_s).c_str(),
                    speed_text(r, r.decompress_s).c_str(), runs.c_str(), r.verified ? "ok" : "FAILED", note.c_str());
    }
}

// For each quarnix level that works: the peer on the same block layout whose
// ratio is nearest, with the factors between them.
void print_standing(const std::vector<Row>& totals)
{
    std::printf("\nStanding (TOTAL rows; speed factors are quarnix / peer, same block layout)\n");
    for (const Row& q : totals) {
        if (q.family != "quarnix" || q.all_stored || !q.verified)
            continue;
        const double qr = ratio_of(q);
        const double qc = mbps(q.file_bytes, q.compress_s), qd = mbps(q.file_bytes, q.decompress_s);
        const Row* nearest = nullptr;
        for (const Row& p : totals) {
            if (p.family == "quarnix" || !p.verified)
                continue;
            // Same layout: a whole-file peer beside a level that takes the file
            // in one block, a block row of the same size otherwise.
            const bool same_layout = q.block_bytes == 0 ? p.mode == "whole" : p.block_bytes == q.block_bytes;
            if (!same_layout)
                continue;
            const double pr = ratio_of(p);
            if (!nearest || std::fabs(std::log(pr / qr)) < std::fabs(std::log(ratio_of(*nearest) / qr)))
                nearest = &p;
        }
        if (!nearest)
            continue;
        std::printf("%-8s ratio %.3f vs %-7s %.3f (%+.1f%% size); compression %.2fx, decompression %.2fx\n",
                    q.codec.c_str(), qr, nearest->codec.c_str(), ratio_of(*nearest),
                    100.0 * (static_cast<double>(q.result.compressed_bytes) / static_cast<double>(nearest->result.compressed_bytes) - 1.0),
                    qc / mbps(nearest->file_bytes, nearest->compress_s), qd / mbps(nearest->file_bytes, nearest->decompress_s));
    }
}

// For each quarnix level that works: the peer rows, on any block layout, whose
// ratio, compression speed and decompression speed are all at least as good
// as the level's; the one with the best ratio first.
void print_dominance(const char* title, const std::vector<Row>& rows)
{
    bool any = false;
    for (const Row& q : rows) {
        if (q.family != "quarnix" || q.all_stored || !q.verified)
            continue;
        if (!any)
            std::printf("\nDominance (%s; a peer dominates when ratio and both speeds are at least as good;\n"
                        "factors are peer / quarnix)\n",
                        title);
        any = true;
        const double qr = ratio_of(q);
        const double qc = mbps(q.file_bytes, q.compress_s), qd = mbps(q.file_bytes, q.decompress_s);
        std::vector<const Row*> by;
        for (const Row& p : rows) {
            if (p.family == "quarnix" || !p.verified || p.result.failed)
                continue;
            const std::string blocks = block_label(p.block_bytes, p.file_bytes);
            if (p.mode == "block" && blocks == "file")
                continue;   // one block: the whole-file row says it
            if (ratio_of(p) >= qr && mbps(p.file_bytes, p.compress_s) >= qc && mbps(p.file_bytes, p.decompress_s) >= qd)
                by.push_back(&p);
        }
        std::stable_sort(by.begin(), by.end(), [](const Row* a, const Row* b) { return ratio_of(*a) > ratio_of(*b); });
        std::printf("quarnix -%d%d: %s", q.method, q.level, by.empty() ? "not dominated" : "dominated by ");
        for (size_t i = 0; i < by.size(); ++i) {
            const Row& p = *by[i];
            std::string name = p.family + " -" + std::to_string(p.level);
            if (p.mode == "block")
                name += " in " + block_label(p.block_bytes, p.file_bytes) + " blocks";
            std::printf("%s%s (ratio %.3f vs %.3f, comp %.2fx, dec %.2fx)", i ? ", " : "", name.c_str(), ratio_of(p), qr,
                        mbps(p.file_bytes, p.compress_s) / qc, mbps(p.file_bytes, p.decompress_s) / qd);
        }
        std::printf("\n");
    }
}

bool write_csv(const std::string& path, const std::vector<Row>& rows)
{
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    std::fprintf(f, "file,file_bytes,codec,family,method,level,mode,block_bytes,blocks,stored_blocks,"
                    "compressed_bytes,ratio,compress_mbps,decompress_mbps,compress_runs,decompress_runs,status,verified\n");
    for (const Row& r : rows) {
        std::string name = r.file;
        for (char& c : name)
            if (c == ',' || c == '"' || c == '\n')
                c = '_';
        std::fprintf(f, "%s,%llu,%s,%s,%d,%d,%s,%llu,%u,%u,%llu,%.4f,%.2f,%.2f,%d,%d,%s,%s\n", name.c_str(),
                     static_cast<unsigned long long>(r.file_bytes), r.codec.c_str(), r.family.c_str(), r.method, r.level,
                     r.mode.c_str(), static_cast<unsigned long long>(r.block_bytes), r.result.blocks, r.result.stored_blocks,
                     static_cast<unsigned long long>(r.result.compressed_bytes), ratio_of(r), mbps(r.file_bytes, r.compress_s),
                     mbps(r.file_bytes, r.decompress_s), r.compress_runs, r.decompress_runs, status_of(r).c_str(),
                     r.verified ? "yes" : "no");
    }
    return std::fclose(f) == 0;
}

} // namespace qrn::bench
