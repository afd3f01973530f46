// qrn-bench: every quarnix method and level beside lz4, zstd, xz and zlib on
// the same files, single-threaded, in one process.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "bench.h"
#include "platform/platform.h"

namespace qrn::bench {

namespace {

void usage()
{
    std::fputs(
        "usage: qrn-bench [options] FILE|DIR...\n"
        "  Directories contribute their regular files (sorted; MANIFEST and dot files skipped).\n"
        "  -n, --runs N        timed runs per file, codec and direction, best kept (default 5)\n"
        "  --budget SECONDS    stop repeating once a direction has taken this long (default 3)\n"
        "  --no-warm-up        time the first run too\n"
        "  --quick             one run, no warm-up (smoke tests)\n"
        "  -b SIZE             one block size for every quarnix level and the peers' block rows,\n"
        "                      in MiB or with a K suffix in KiB (like quarnix -b)\n"
        "  --no-blocks         peers on whole files only\n"
        "  --codecs LIST       comma-separated codecs: any peer level (lz4-1..12, zstd-1..22,\n"
        "                      xz-0..9, zlib-1..9: zstd-7) or range of them (zstd-1..22),\n"
        "                      families (zstd, qrn: the default levels) or quarnix methods (qrn-3)\n"
        "  --csv FILE          also write every row to FILE\n"
        "  --summary           print only the totals, not one table per file\n"
        "  --synthetic BYTES   bench two generated inputs instead of files\n",
        stderr);
    std::exit(2);
}

bool parse_size(const char* text, uint32_t* out)
{
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    const bool kib = *end == 'K' || *end == 'k';
    if (end == text || (*end && !kib) || (kib && end[1]))
        return false;
    const unsigned long long bytes = n << (kib ? 10 : 20);
    if (n == 0 || bytes > 1024ull * MIB)
        return false;
    *out = static_cast<uint32_t>(bytes);
    return true;
}

std::vector<std::string> split_list(const std::string& s)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= s.size()) {
        const size_t comma = s.find(',', start);
        const std::string item = s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!item.empty())
            out.push_back(item);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return out;
}

// An entry names a codec (zstd-19), a family (zstd, qrn) or a quarnix method
// (qrn-3); zstd-1 does not take zstd-19 along.
bool entry_selects(const std::string& p, const std::string& codec)
{
    const bool method = p.size() == 5 && p.compare(0, 4, "qrn-") == 0;
    return codec == p || (codec.compare(0, p.size(), p) == 0 && (method || codec[p.size()] == '-'));
}

bool selected(const BenchOptions& o, const std::string& codec)
{
    if (o.codec_filter.empty())
        return true;
    for (const std::string& p : o.codec_filter)
        if (entry_selects(p, codec))
            return true;
    return false;
}

// The peers a run takes: each level named (zstd-7) or in a range (zstd-1..22)
// and the default levels of each family named (zstd); every default level
// when no list is given. Families in their table's order, levels ascending.
// False, with the entry, when an entry names no peer level and no quarnix
// level, method or family.
bool resolve_peers(const BenchOptions& o, std::vector<PeerSetting>* peers, std::string* bad)
{
    const std::vector<PeerSetting> defaults = peer_settings();
    if (o.codec_filter.empty()) {
        *peers = defaults;
        return true;
    }
    peers->clear();
    auto add = [&](const PeerSetting& p) {
        for (const PeerSetting& q : *peers)
            if (q.codec == p.codec)
                return;
        peers->push_back(p);
    };
    for (const std::string& item : o.codec_filter) {
        *bad = item;
        if (item == "qrn" || item.compare(0, 4, "qrn-") == 0) {
            bool any = false;
            for (const QrnLevel& l : qrn_levels())
                any = any || entry_selects(item, qrn_codec_name(l));
            if (!any)
                return false;
        } else if (peer_family_known(item)) {
            for (const PeerSetting& p : defaults)
                if (p.family == item)
                    add(p);
        } else if (const size_t dots = item.find(".."); dots == std::string::npos) {
            PeerSetting p;
            if (!peer_setting_find(item, &p))
                return false;
            add(p);
        } else {
            // zstd-1..22: the first level's name, then the last level's number.
            const std::string family = item.substr(0, item.find('-'));
            PeerSetting first, last;
            if (!peer_setting_find(item.substr(0, dots), &first) ||
                !peer_setting_find(family + "-" + item.substr(dots + 2), &last) || first.level > last.level)
                return false;
            for (int level = first.level; level <= last.level; ++level) {
                PeerSetting p;
                peer_setting_find(family + "-" + std::to_string(level), &p);
                add(p);
            }
        }
    }
    bad->clear();
    std::stable_sort(peers->begin(), peers->end(), [](const PeerSetting& a, const PeerSetting& b) {
        return a.index != b.index ? a.index < b.index : a.level < b.level;
    });
    return true;
}

bool read_file(const std::filesystem::path& path, InputFile* f)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    f->name = path.filename().string();
    f->data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool collect_inputs(const std::vector<std::string>& paths, std::vector<InputFile>* files)
{
    namespace fs = std::filesystem;
    for (const std::string& p : paths) {
        std::error_code ec;
        std::vector<fs::path> names;
        if (fs::is_directory(p, ec)) {
            for (const auto& e : fs::directory_iterator(p, ec)) {
                const std::string base = e.path().filename().string();
                if (e.is_regular_file() && base != "MANIFEST" && base[0] != '.')
                    names.push_back(e.path());
            }
            std::sort(names.begin(), names.end());
        } else {
            names.push_back(p);
        }
        for (const fs::path& name : names) {
            InputFile f;
            if (!read_file(name, &f)) {
                std::fprintf(stderr, "qrn-bench: cannot read %s\n", name.c_str());
                return false;
            }
            if (f.data.empty()) {
                std::fprintf(stderr, "qrn-bench: skipping empty %s\n", name.c_str());
                continue;
            }
            files->push_back(std::move(f));
        }
    }
    return true;
}

std::string cpu_model()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    return "unknown processor";
}

// The system's load when the run starts: other work on the machine skews the timings.
std::string load_average()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    if (!(in >> one >> five >> fifteen))
        return "unknown";
    return one + " " + five + " " + fifteen;
}

std::string today()
{
    char buf[32];
    const std::time_t t = std::time(nullptr);
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", std::gmtime(&t));
    return buf;
}

struct Run {
    BenchOptions o;
    std::vector<InputFile> files;
    std::vector<PeerSetting> peers;   // the peer levels to run
    std::vector<Row> rows;
    int failures = 0;
};

void note_progress(const InputFile& f, const Row& r)
{
    std::fprintf(stderr, "  %-16s %-8s %-5s %s\n", f.name.c_str(), r.codec.c_str(), r.mode.c_str(),
                 r.verified ? "ok" : "FAILED");
}

void run_file(Run& run, const InputFile& f, const std::vector<uint64_t>& peer_blocks)
{
    const BenchOptions& o = run.o;
    std::vector<Row> rows;
    for (const QrnLevel& l : qrn_levels()) {
        Row r;
        r.codec = qrn_codec_name(l);
        if (!selected(o, r.codec))
            continue;
        r.file = f.name;
        r.file_bytes = f.data.size();
        r.family = "quarnix";
        r.method = l.method;
        r.level = l.level;
        r.mode = "pipeline";
        r.block_bytes = qrn_block_size(l, f.data.size(), o.block_override);
        qrn_prepare_level(l);
        std::unique_ptr<Trial> t(qrn_trial_new(l, f, o.block_override));
        measure_trial(*t, o, f, &r);
        note_progress(f, r);
        rows.push_back(r);
    }
    for (const PeerSetting& p : run.peers) {
        Row whole;
        whole.file = f.name;
        whole.file_bytes = f.data.size();
        whole.codec = p.codec;
        whole.family = p.family;
        whole.level = p.level;
        whole.mode = "whole";
        {
            std::unique_ptr<Trial> t(peer_trial_new(p, f, 0));
            measure_trial(*t, o, f, &whole);
        }
        note_progress(f, whole);
        rows.push_back(whole);
        for (uint64_t b : peer_blocks) {
            Row r = whole;
            r.mode = "block";
            r.block_bytes = b;
            if (b < f.data.size()) {
                std::unique_ptr<Trial> t(peer_trial_new(p, f, b));
                measure_trial(*t, o, f, &r);
                note_progress(f, r);
            }
            rows.push_back(r);
        }
    }
    for (const Row& r : rows)
        if (!r.verified)
            ++run.failures;
    if (o.per_file_tables) {
        print_table(f.name.c_str(), rows);
        print_dominance(f.name.c_str(), rows);
    }
    std::fflush(stdout);
    run.rows.insert(run.rows.end(), rows.begin(), rows.end());
}

int run_body(void* arg)
{
    Run& run = *static_cast<Run*>(arg);
    const BenchOptions& o = run.o;
    uint64_t largest = 0, total = 0;
    for (const InputFile& f : run.files) {
        largest = std::max<uint64_t>(largest, f.data.size());
        total += f.data.size();
    }
    // Peer block rows on the block sizes quarnix's levels use (4 MiB at level 0,
    // 64 MiB at levels 1 and 2, or -b), where some file holds more than one.
    std::vector<uint64_t> peer_blocks;
    if (o.peer_blocks) {
        const std::vector<uint64_t> candidates =
            o.block_override ? std::vector<uint64_t>{o.block_override} : std::vector<uint64_t>{4ull * MIB, 64ull * MIB};
        for (uint64_t b : candidates)
            if (b < largest)
                peer_blocks.push_back(b);
    }

    std::printf("qrn-bench: %s, %s, single thread\n", cpu_model().c_str(), today().c_str());
    std::printf("load average at start: %s (on %d processors)\n", load_average().c_str(), processor_count());
    std::printf("peers: %s\n", peer_versions().c_str());
    std::printf("%zu files, %llu bytes; best of %d run(s)%s, %.1f s budget per file, codec and direction\n",
                run.files.size(), static_cast<unsigned long long>(total), o.runs,
                o.warm_up ? " after a warm-up" : "", o.budget);
    std::printf("MB/s = 10^6 bytes of original data per second; ratio = original / compressed.\n");
    std::printf("quarnix: codec entries on the pipeline's blocks (4 MiB at level 0, 64 MiB cut to the file\n"
                "at levels 1 and 2, the one-worker memory share at level 9%s), x86 filter on .tar/.exe\n"
                "as the program does; sizes include the 32-byte header and record fields.\n",
                o.block_override ? "; here -b for all" : "");
    std::printf("peers: whole file in one call");
    for (uint64_t b : peer_blocks)
        std::printf(", and %s blocks%s", block_label(b, UINT64_MAX).c_str(),
                    o.block_override ? " (-b)" : b == 4ull * MIB ? " (beside level 0)" : " (beside levels 1, 2)");
    std::printf(".\n");
    std::fflush(stdout);

    qrn_startup();
    for (const InputFile& f : run.files)
        run_file(run, f, peer_blocks);
    qrn_shutdown();

    const std::vector<Row> totals = total_rows(run.rows);
    print_table("TOTAL", totals);
    print_dominance("TOTAL rows", totals);
    print_standing(totals);
    std::vector<Row> all = run.rows;
    all.insert(all.end(), totals.begin(), totals.end());
    if (!o.csv_path.empty() && !write_csv(o.csv_path, all)) {
        std::fprintf(stderr, "qrn-bench: cannot write %s\n", o.csv_path.c_str());
        return 2;
    }
    if (run.failures) {
        std::printf("\n%d row(s) FAILED to round-trip\n", run.failures);
        return 1;
    }
    return 0;
}

} // namespace

int bench_main(int argc, char** argv)
{
    Run run;
    BenchOptions& o = run.o;
    std::vector<std::string> paths;
    size_t synthetic = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "-n" || a == "--runs") {
            o.runs = std::atoi(value());
            if (o.runs < 1)
                usage();
        } else if (a == "--budget") {
            o.budget = std::atof(value());
        } else if (a == "--no-warm-up") {
            o.warm_up = false;
        } else if (a == "--quick") {
            o.runs = 1;
            o.warm_up = false;
            o.budget = 0;
        } else if (a == "-b") {
            if (!parse_size(value(), &o.block_override))
                usage();
        } else if (a == "--no-blocks") {
            o.peer_blocks = false;
        } else if (a == "--codecs") {
            o.codec_filter = split_list(value());
        } else if (a == "--csv") {
            o.csv_path = value();
        } else if (a == "--summary") {
            o.per_file_tables = false;
        } else if (a == "--synthetic") {
            synthetic = std::strtoull(value(), nullptr, 10);
            if (synthetic < 2)
                usage();
        } else if (a == "-h" || a == "--help" || (a.size() > 1 && a[0] == '-')) {
            usage();
        } else {
            paths.push_back(a);
        }
    }
    if (std::string bad; !resolve_peers(o, &run.peers, &bad)) {
        std::fprintf(stderr,
                     "qrn-bench: unknown codec '%s' (peer levels lz4-1..12, zstd-1..22, xz-0..9, zlib-1..9, "
                     "ranges like zstd-1..22; families lz4, zstd, xz, zlib, qrn; qrn-3, qrn-31)\n",
                     bad.c_str());
        return 2;
    }
    if (synthetic)
        run.files = synthetic_inputs(synthetic);
    else if (paths.empty() || !collect_inputs(paths, &run.files))
        usage();
    if (run.files.empty()) {
        std::fprintf(stderr, "qrn-bench: no input\n");
        return 2;
    }
    // The codecs keep large arrays on the stack: run them on a thread with the
    // stack the pipeline's workers get.
    PlatformThread* t = thread_create(run_body, &run, CODEC_THREAD_STACK);
    if (!t) {
        std::fprintf(stderr, "qrn-bench: cannot start a thread\n");
        return 2;
    }
    return thread_join(t);
}

} // namespace qrn::bench

int main(int argc, char** argv)
{
    return qrn::bench::bench_main(argc, argv);
}
