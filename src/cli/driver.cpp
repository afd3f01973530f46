#include "cli/driver.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/startup.h"
#include "cli/walker.h"
#include "container/container_format.h"
#include "container/errors.h"
#include "container/pipeline.h"

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

enum class Destination { Directory, File, Stdout };

struct Run {
    RunOptions o;
    Pipeline p;
    std::vector<std::string> inputs;
    std::string dest;
    Destination kind = Destination::Directory;
    int failures = 0;
    int fatal_status = 0;   // set when the run must end early with this status
};

bool is_stdout_name(const std::string& name) { return name == "stdout"; }

// Picks inputs and destination from the operands, refusing combinations that
// make no sense. The destination directory is created here, before any input
// is read.
void choose_destination(Run& r, const char* program_path)
{
    RunOptions& o = r.o;
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
        o.to_stdout = 1;
        r.kind = Destination::Stdout;
        return;
    }
    PathStatus st;
    const bool exists = path_status(r.dest.c_str(), &st, true) == 0;
    if (n == 1 && !o.recursive && !o.decompress && has_container_extension(r.dest.c_str())) {
        if (exists && st.kind != PathKind::Directory && !o.force)
            refuse("can't overwrite destination file\n", STATUS_REFUSED);
        r.kind = Destination::File;
    } else if (exists) {
        if (st.kind != PathKind::Directory)
            refuse("destination is not a directory\n", STATUS_REFUSED);
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
    if (dir.empty() || dir.back() == '/')
        return dir + name;
    return dir + '/' + name;
}

std::string last_component(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Hands one file to its pipeline. False when the run must not go on.
bool process_file(Run& r, const std::string& in, std::string out)
{
    int rc;
    if (r.o.decompress) {
        rc = decompress_file(r.p, in.c_str(), out.c_str());
    } else {
        if (r.kind == Destination::Directory)
            out += ".qrn";
        rc = compress_file(r.p, r.o.job_template, in.c_str(), out.c_str());
    }
    if (rc == FILE_CREATE_FAILED) {
        r.fatal_status = STATUS_REFUSED;
        return false;
    }
    if (rc != 0)
        ++r.failures;
    return rc == 0;
}

void process_list(Run& r)
{
    for (const std::string& in : r.inputs) {
        PathStatus st;
        path_status(in.c_str(), &st, true);
        const std::string out =
            r.kind == Destination::Directory ? join_path(r.dest, last_component(in)) : r.dest;
        if (st.kind == PathKind::Regular || r.o.from_stdin) {
            if (!process_file(r, in, out))
                return;
        } else if (st.kind == PathKind::Missing) {
            print_open_failure(in.c_str());
            ++r.failures;
        }
    }
}

// Creates `path` and every missing directory above it.
bool make_directories(const std::string& path)
{
    for (size_t cut = path.find('/'); cut != std::string::npos; cut = path.find('/', cut + 1)) {
        if (cut == 0)
            continue;
        const std::string prefix = path.substr(0, cut);
        if (make_directory(prefix.c_str()) != 0) {
            std::fprintf(stderr, "cannot create directory '%s'", prefix.c_str());
            return false;
        }
    }
    if (make_directory(path.c_str()) != 0) {
        std::fprintf(stderr, "cannot create directory '%s'", path.c_str());
        return false;
    }
    return true;
}

void process_tree(Run& r)
{
    DirWalker* w = walker_open(r.inputs);
    if (!w)
        return;
    std::string path;
    PathStatus st;
    while (walker_next(w, &path, &st) == 0) {
        // Keep the entry's path below the last component of its top-level name.
        const size_t cut = w->top.rfind('/');
        const std::string rel = cut == std::string::npos ? path : path.substr(cut + 1);
        const std::string out = join_path(r.dest, rel);
        if (st.kind == PathKind::Regular) {
            if (!r.o.decompress && has_container_extension(path.c_str()))
                continue;
            if (!process_file(r, path, out) && r.fatal_status)
                break;
        } else if (st.kind == PathKind::Directory) {
            if (!make_directories(out)) {
                r.fatal_status = STATUS_REFUSED;
                break;
            }
        }
    }
    r.failures += w->failures;
    walker_close(w);
}

} // namespace

int quarnix_main(int argc, char** argv)
{
    Run r;
    RunOptions& o = r.o;
    parse_options(argc, argv, &o);
    CodecJob& tmpl = o.job_template;

    const int processor_level = startup_processor_level(o.probe_cpu != 0);
    bool pool_created = false;
    if (o.decompress) {
        startup_prepare_decoders(processor_level);
    } else {
        if (tmpl.method == 0)
            usage_exit(program_base_name(argv[0]));
        tmpl.hash_bits = effective_hash_bits(o.hash_bits_option, tmpl.method, tmpl.level);
        startup_prepare_encoders(processor_level, tmpl.method, tmpl.level);
        startup_pool_init();
        pool_created = true;
    }

    choose_destination(r, argv[0]);

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
    set_errors_to_stderr(p.to_stdout);
    const int capacity = (tmpl.method != 0 && tmpl.level == 9) ? 1 : threads + 1;
    if (pipeline_start(p, threads, capacity) != 0) {
        std::fputs("Error thread_create.\n", stderr);
        std::exit(STATUS_REFUSED);
    }

    if (o.recursive)
        process_tree(r);
    else
        process_list(r);

    pipeline_stop(p);
    if (pool_created)
        startup_pool_close();

    if (r.fatal_status)
        return r.fatal_status;
    if (r.failures > 0 || p.failed_files.load() > 0 || p.error_count.load() > 0)
        return STATUS_FAILED;
    return STATUS_OK;
}

} // namespace qrn
