#include "cli/driver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/messages.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/walker.h"
#include "container/container_format.h"
#include "pipeline/pipeline.h"
#include "pipeline/startup.h"
#include "container/summary.h"

namespace qrn {

namespace {

constexpr int STATUS_OK = 0;
constexpr int STATUS_FAILED = 1;
constexpr int STATUS_REFUSED = 255;

[[noreturn]] void refuse(const char* message, int status)
{
    std::fputs(message, stderr);
    std::exit(status);
}

enum class Destination { Directory, File, Stdout, None };
enum class Mode { Compress, Decompress, Test, List };

// A destination directory of the walk, kept open while the walk is inside
// its source.
struct MadeDir {
    DirHandle* dir = nullptr;
    FileMeta meta;            // its source's, given when it is finished
    bool made = false;        // made by this run (an existing one is left as it is)
    uint32_t mark = 0;        // the pipeline's queue position when the walk left it
};

struct Run {
    RunOptions o;
    Mode mode = Mode::Compress;
    Pipeline p;
    MessagePrinter printer;
    std::vector<std::string> inputs;
    std::string dest;
    Destination kind = Destination::Directory;
    PathStatus dest_status;     // the destination directory's identity, never walked into
    int failures = 0;
    int fatal_status = 0;       // the status to end with whatever else happens
    bool list_header_printed = false;
    std::vector<MadeDir> left_dirs;   // made by the walk, finished once the pipeline stops
};

// `-` names the standard streams, as "stdout" names standard output.
bool is_stdout_name(const std::string& name) { return name == "stdout" || name == "-"; }

// `-` among the inputs means standard input: the one input of the run, not
// walked, named "stdin" in messages as when no input is named.
void take_stdin_operand(Run& r)
{
    if (std::find(r.inputs.begin(), r.inputs.end(), "-") == r.inputs.end())
        return;
    if (r.inputs.size() > 1)
        refuse("quarnix: -: standard input can't be one of several inputs\n", STATUS_FAILED);
    if (r.o.recursive)
        refuse("quarnix: -: standard input can't be walked (-r)\n", STATUS_FAILED);
    r.inputs = {"stdin"};
    r.o.from_stdin = 1;
}

// A size in binary units, with `decimals` digits ("5.50 MiB"); whole
// numbers lose their ".0" when `trim`.
std::string unit_text(uint64_t bytes, int decimals, bool trim)
{
    static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    std::string s = text;
    if (trim && s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0)
        s.resize(s.size() - 2);
    return s + " " + units[u];
}

// A memory size for messages: "11 GiB", "5.5 GiB", "704 MiB".
std::string memory_text(uint64_t bytes) { return unit_text(bytes, 1, true); }

// Settles what level 9 may plan with: --memory caps the memory figure, and a
// block size asked with -b whose coding cannot fit under it is refused.
void plan_memory(Run& r)
{
    CompressSettings& c = r.o.compress;
    const uint64_t figure = physical_memory();
    const uint64_t limit = r.o.memory_option && (figure == 0 || r.o.memory_option < figure) ? r.o.memory_option : figure;
    if (r.o.memory_option) {
        c.memory = limit;
        const uint64_t need = codec_plan_block_memory(c.plan, c.block_size);
        if (c.block_size != 0 && need > limit) {
            std::fprintf(stderr, "quarnix: -b%s at level %u needs about %s; the limit is %s\n", r.o.block_option.c_str(),
                         static_cast<unsigned>(c.plan.level), memory_text(need).c_str(), memory_text(limit).c_str());
            std::exit(STATUS_FAILED);
        }
    }
    if (c.plan.prepare_segment_pool)
        r.p.coding_memory = limit;
}

// Picks inputs and destination from the operands, refusing combinations that
// make no sense. The destination directory is created here, before any input
// is read.
void choose_destination(Run& r, const char* program_path)
{
    RunOptions& o = r.o;
    if (r.mode == Mode::Test || r.mode == Mode::List) {
        // Every operand is a container to read; none names a destination.
        r.kind = Destination::None;
        r.inputs = o.names;
        take_stdin_operand(r);
        if (r.inputs.empty()) {
            if (stream_is_terminal(0) && !o.force)
                usage_exit(program_path);
            r.inputs = {"stdin"};
            o.from_stdin = 1;
        }
        return;
    }
    if (o.names.empty()) {
        const int compressed_stream = o.decompress ? 0 : 1;
        if (stream_is_terminal(compressed_stream) && !o.force)
            usage_exit(program_path);
        if (o.recursive)
            refuse("can't recurse to stdout", STATUS_FAILED);
        r.inputs = {"stdin"};
        o.from_stdin = o.to_stdout = 1;
        r.dest = "stdout";
        r.kind = Destination::Stdout;
        return;
    }
    if (o.to_stdout) {
        r.inputs = o.names;
        r.dest = "stdout";
    } else {
        r.inputs.assign(o.names.begin(), o.names.end() - 1);
        r.dest = o.names.back();
    }
    const size_t n = r.inputs.size();
    if (is_stdout_name(r.dest)) {
        if (o.recursive)
            refuse("can't recurse to stdout", STATUS_FAILED);
        if (n > 1)
            refuse("can't process multiple files to stdout", STATUS_FAILED);
        take_stdin_operand(r);
        o.to_stdout = 1;
        r.kind = Destination::Stdout;
        return;
    }
    take_stdin_operand(r);
    PathStatus st;
    const bool exists = path_status(r.dest.c_str(), &st, true) == 0;
    if (n == 1 && !o.recursive && !o.decompress && has_container_extension(r.dest.c_str())) {
        if (exists && st.kind != PathKind::Directory && !o.force)
            refuse("can't overwrite destination file\n", STATUS_REFUSED);
        r.kind = Destination::File;
    } else if (exists) {
        if (st.kind != PathKind::Directory)
            refuse("destination is not a directory\n", STATUS_REFUSED);
        if (o.from_stdin)
            refuse("quarnix: -: standard input needs an output file, not a directory\n", STATUS_REFUSED);
        r.kind = Destination::Directory;
    } else if (n == 1 && !o.recursive) {
        r.kind = Destination::File;
    } else {
        if (make_directory(r.dest.c_str()) != 0) {
            std::fprintf(stderr, "cannot create directory '%s'.\n", r.dest.c_str());
            std::exit(STATUS_REFUSED);
        }
        r.kind = Destination::Directory;
    }
}

std::string join_path(const std::string& dir, const std::string& name)
{
    if (dir.empty() || is_path_separator(dir.back()))
        return dir + name;
    return dir + PATH_SEPARATOR + name;
}

std::string last_component(const std::string& path)
{
    const size_t slash = path.rfind(PATH_SEPARATOR);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string size_text(uint64_t bytes)
{
    return bytes < 1024 ? std::to_string(bytes) + " B" : unit_text(bytes, 2, false);
}

// One line of --list for a container. Not Ok when it is no container or is
// incomplete or damaged.
Status list_container(Run& r, const FilePlace& place)
{
    const std::string& name = place.path;
    Status st;
    PlatformFile* in = open_input(r.p, place, &st);
    if (!in)
        return st;
    ContainerSummary s;
    const int rc = container_summarize(in, &s);
    file_close(in);
    if (rc != 0) {
        st = status_failed(StatusCode::NotContainer, "not a quarnix container");
        say_file_failure(r.p.messages, name, st.reason);
        return st;
    }
    // A container that records its length (with or without a checksum) must
    // hold records of exactly that length.
    const bool recorded = s.fields.state == INTEGRITY_COMPLETE || s.fields.state == INTEGRITY_LENGTH;
    const bool complete = recorded && s.fields.length == s.original;
    const bool intact = !s.damage && (s.fields.state == INTEGRITY_NONE || complete);
    const char* integrity = s.fields.state == INTEGRITY_PENDING  ? "incomplete"
                            : s.damage                             ? s.damage
                            : s.fields.state == INTEGRITY_NONE     ? "none"
                            : complete                             ? (s.fields.state == INTEGRITY_LENGTH ? "length" : "complete")
                            : recorded && s.original < s.fields.length ? "truncated"
                                                                       : "damaged";
    if (!r.list_header_printed) {
        std::printf("%6s %5s %10s %12s %12s %7s  %-10s %s\n", "Method", "Level", "Block", "Compressed", "Original",
                    "Ratio", "Integrity", "Name");
        r.list_header_printed = true;
    }
    const uint64_t original = recorded ? s.fields.length : s.original;
    char ratio[16] = "-";
    if (intact && s.compressed > 0 && original > 0)
        std::snprintf(ratio, sizeof ratio, "%.3f", static_cast<double>(original) / static_cast<double>(s.compressed));
    std::printf("%6u %5u %10s %12s %12s %7s  %-10s %s\n", s.method, s.level, size_text(s.block_size).c_str(),
                size_text(s.compressed).c_str(), size_text(original).c_str(), ratio, integrity, escaped_name(name).c_str());
    if (intact)
        return st;
    const StatusCode code = s.fields.state == INTEGRITY_PENDING   ? StatusCode::Incomplete
                            : std::string(integrity) == "truncated" ? StatusCode::Truncated
                                                                    : StatusCode::Damaged;
    return status_failed(code, integrity);
}

// Hands one file (of `size` bytes; negative: not known) to its pipeline. A
// failure is counted and the run goes on.
void process_file(Run& r, const FilePlace& in, FilePlace out, int64_t size)
{
    Status st;
    if (r.mode != Mode::List)
        progress_file(in.path, size, r.p.read_bytes);
    switch (r.mode) {
    case Mode::List: st = list_container(r, in); break;
    case Mode::Test:
    case Mode::Decompress: st = decompress_file_at(r.p, in, out); break;
    case Mode::Compress:
        if (r.kind == Destination::Directory) {
            out.name += ".qrn";
            out.path += ".qrn";
        }
        st = compress_file_at(r.p, r.o.compress, in, out);
        break;
    }
    // Within a walk, a name too long for the system fails its file alone.
    if (st.fatal && !(in.dir && error_is_name_too_long(st.err)))
        r.fatal_status = STATUS_REFUSED;
    else if (!st.ok())
        ++r.failures;
}

void process_list(Run& r)
{
    for (const std::string& in : r.inputs) {
        PathStatus st;
        path_status(in.c_str(), &st, true);
        const std::string out =
            r.kind == Destination::Directory ? join_path(r.dest, last_component(in)) : r.dest;
        if (st.kind == PathKind::Regular || r.o.from_stdin) {
            process_file(r, place_of_path(in.c_str()), place_of_path(out.c_str()), r.o.from_stdin ? -1 : st.size);
        } else if (st.kind == PathKind::Other) {
            // A FIFO or device named on the command line is not read; say so.
            // (A directory without -r is passed over in silence, as always.)
            say_file_failure(r.p.messages, in, "not a regular file: left out");
            ++r.failures;
        } else if (st.kind == PathKind::Missing) {
            Message m{MessageKind::OpenFailed};
            m.name = in.c_str();
            m.text = error_text(last_error());
            message_print(r.printer, m);
            ++r.failures;
        }
    }
}

// Entries a walk leaves out by design, counted for the closing line.
struct LeftOut {
    int links = 0, fifos = 0, sockets = 0, devices = 0;
    int too_deep = 0;         // directories not entered: the walk keeps MAX_OPEN_LEVELS open
    int containers = 0;       // compressing: files that are containers already
};

void count_left_out(LeftOut& l, OtherKind kind)
{
    switch (kind) {
    case OtherKind::Link: ++l.links; break;
    case OtherKind::Fifo: ++l.fifos; break;
    case OtherKind::Socket: ++l.sockets; break;
    case OtherKind::Device: ++l.devices; break;
    case OtherKind::None: break;
    }
}

void say_left_out(const LeftOut& l)
{
    const struct {
        int count;
        const char* one;
        const char* many;
    } kinds[] = {{l.links, "symbolic link", "symbolic links"},
                 {l.fifos, "FIFO", "FIFOs"},
                 {l.sockets, "socket", "sockets"},
                 {l.devices, "device", "devices"},
                 {l.too_deep, "directory past 100 levels", "directories past 100 levels"},
                 {l.containers, ".qrn file", ".qrn files"}};
    std::string line;
    for (const auto& k : kinds) {
        if (k.count == 0)
            continue;
        line += line.empty() ? "quarnix: left out " : ", ";
        line += std::to_string(k.count) + ' ' + (k.count == 1 ? k.one : k.many);
    }
    if (!line.empty())
        std::fprintf(stderr, "%s\n", line.c_str());
}

// Gives a directory its source's mode and times and closes it.
void finish_dir(MadeDir& d)
{
    if (d.made)
        dir_apply_meta(d.dir, d.meta);
    dir_close(d.dir);
}

// Finishes the directories that the walk has left and whose outputs are all
// written (all of them when `all`: the pipeline has stopped).
void finish_left_dirs(Run& r, std::vector<MadeDir>& left, bool all)
{
    size_t kept = 0;
    for (MadeDir& d : left) {
        if (all || pipeline_written(r.p, d.mark))
            finish_dir(d);
        else
            left[kept++] = d;
    }
    left.resize(kept);
}

void process_tree(Run& r, LeftOut& left_out)
{
    DirWalker* w = walker_open(r.inputs, r.kind == Destination::Directory ? &r.dest_status : nullptr);
    if (!w)
        return;
    const bool reading_only = r.mode == Mode::Test || r.mode == Mode::List;
    DirHandle* dest = reading_only ? nullptr : dir_open(r.dest.c_str());
    if (!reading_only && !dest) {
        const int err = last_error();
        const auto hold = progress_hold();
        std::fprintf(stderr, "quarnix: %s: %s\n", r.dest.c_str(), error_text(err));
        r.fatal_status = STATUS_REFUSED;
        walker_close(w);
        return;
    }
    // made[i]: the destination directory of the entries at depth i + 1.
    // Directories the walk has left wait in `left` until their outputs are
    // written, so that their times and modes come last.
    std::vector<MadeDir> made, left;
    WalkEntry e;
    while (walker_next(w, &e) == 0) {
        const std::string& path = e.place.path;
        while (made.size() > e.depth) {
            made.back().mark = pipeline_queued(r.p);
            left.push_back(made.back());
            made.pop_back();
        }
        finish_left_dirs(r, left, false);
        // Keep the entry's path below the last component of its top-level name.
        const size_t cut = w->top.rfind(PATH_SEPARATOR);
        const std::string rel = cut == std::string::npos ? path : path.substr(cut + 1);
        const std::string out = join_path(r.dest, rel);
        DirHandle* out_dir = e.depth == 0 ? dest : made.size() == e.depth ? made.back().dir : nullptr;
        const FilePlace out_place{out_dir, e.depth == 0 ? rel : e.place.name, out};
        if (!reading_only && !out_dir)
            continue;   // below a directory that was not made (the run is ending)
        if (e.status.kind == PathKind::Regular) {
            // Compressing skips containers met in the tree; checking and
            // listing read only them (and every name given on the command line).
            const bool container = has_container_extension(path.c_str());
            if (r.mode == Mode::Compress && container) {
                ++left_out.containers;
                continue;
            }
            if (reading_only && !container && e.depth > 0)
                continue;
            process_file(r, e.place, out_place, e.status.size);
        } else if (e.status.kind == PathKind::Directory && !reading_only) {
            MadeDir d;
            d.meta = e.meta;
            if (out_place.name.empty()) {
                d.dir = dir_open(r.dest.c_str());   // a top-level name ending in '/': its contents go to the destination
            } else if (out_dir) {
                const int made_now = make_directory_at(out_dir, out_place.name.c_str(), 0700);
                d.made = made_now == 0;
                d.dir = made_now < 0 ? nullptr : dir_open_at(out_dir, out_place.name.c_str());
            }
            if (!d.dir) {
                const auto hold = progress_hold();
                std::fprintf(stderr, "cannot create directory '%s'", out.c_str());
                r.fatal_status = STATUS_REFUSED;
                break;
            }
            made.push_back(d);
        } else if (e.status.kind == PathKind::Other) {
            count_left_out(left_out, e.status.other);
        }
    }
    r.failures += w->failures;
    left_out.too_deep += w->too_deep;
    walker_close(w);
    for (MadeDir& d : made) {
        d.mark = pipeline_queued(r.p);
        left.push_back(d);
    }
    r.left_dirs = std::move(left);
    dir_close(dest);
}

} // namespace

int quarnix_main(int argc, char** argv)
{
    Run r;
    RunOptions& o = r.o;
    parse_options(argc, argv, &o);
    // Where the system's separator is not "/", a "/" in a name is taken as it.
    if constexpr (PATH_SEPARATOR != '/') {
        for (std::string& name : o.names)
            std::replace(name.begin(), name.end(), '/', PATH_SEPARATOR);
    }
    CompressSettings& tmpl = o.compress;

    if (o.list)
        r.mode = Mode::List;
    else if (o.test)
        r.mode = Mode::Test;
    else if (o.decompress)
        r.mode = Mode::Decompress;
    if (r.mode != Mode::Compress) {
        o.decompress = 1;
        startup_prepare(o.probe_cpu != 0, codec_plan_decode());
    } else {
        if (!tmpl.plan.exists)
            usage_exit(program_base_name(argv[0]));
        tmpl.hash_bits = codec_plan_hash_bits(tmpl.plan, o.hash_bits_option);
        plan_memory(r);
        startup_prepare(o.probe_cpu != 0, tmpl.plan);
    }

    choose_destination(r, argv[0]);
    if (r.kind == Destination::Directory)
        path_status(r.dest.c_str(), &r.dest_status, true);

    int threads = o.thread_count;
    if (threads < 0)
        threads = processor_count();
    if (threads > MAX_THREADS)
        threads = MAX_THREADS;
    if (threads < 0)
        threads = 0;

    Pipeline& p = r.p;
    p.from_stdin = o.from_stdin != 0;
    p.to_stdout = o.to_stdout != 0;
    p.force = o.force != 0;
    p.decompress = o.decompress != 0;
    p.test_only = r.mode == Mode::Test;
    // When standard output carries the data, numbered errors go to standard error.
    r.printer.numbered_to_stderr = p.to_stdout;
    p.messages = message_printer_sink(&r.printer);
    const int capacity = codec_plan_queue_depth(tmpl.plan, threads);
    if (pipeline_start(p, threads, capacity) != 0) {
        std::fputs("Error thread_create.\n", stderr);
        std::exit(STATUS_REFUSED);
    }

    // The progress line goes where a person watches and the data does not.
    const bool data_to_terminal = p.to_stdout && stream_is_terminal(1);
    if (r.mode != Mode::List && (o.progress == 1 || (o.progress < 0 && !o.quiet && stream_is_terminal(2) && !data_to_terminal)))
        progress_start(p, o.recursive ? 0 : static_cast<int>(r.inputs.size()));

    LeftOut left_out;
    if (o.recursive)
        process_tree(r, left_out);
    else
        process_list(r);

    pipeline_stop(p);
    progress_stop();
    finish_left_dirs(r, r.left_dirs, true);
    startup_release();
    if (!o.quiet)
        say_left_out(left_out);

    if (r.fatal_status)
        return r.fatal_status;
    if (r.failures > 0 || p.failed_files.load() > 0)
        return STATUS_FAILED;
    return STATUS_OK;
}

} // namespace qrn
