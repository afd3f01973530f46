#include "cli/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/getopt.h"
#include "platform/platform.h"

namespace qrn {

namespace {

constexpr const char* OPTION_STRING = "odfhrS1:2:3:4:b:p:v:D:";
enum LongOnly { OPT_TEST = 0x100, OPT_LIST, OPT_HELP, OPT_VERSION, OPT_QUIET, OPT_MEMORY, OPT_PROGRESS, OPT_NO_PROGRESS };
constexpr LongOption LONG_OPTIONS[] = {{"repeat", false, 'r'}, {"test", false, OPT_TEST},
                                       {"list", false, OPT_LIST}, {"help", false, OPT_HELP},
                                       {"version", false, OPT_VERSION}, {"quiet", false, OPT_QUIET},
                                       {"memory", true, OPT_MEMORY}, {"progress", false, OPT_PROGRESS},
                                       {"no-progress", false, OPT_NO_PROGRESS},
                                       {nullptr, false, 0}};
constexpr const char* BANNER = "quarnix 1.2 (Aug 11 2014)";
constexpr uint32_t DEFAULT_BLOCK_MIB = 64;

uint32_t parse_block_size(const char* text)
{
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    const unsigned shift = (*end == 'K' || *end == 'k') ? 10 : 20;
    return static_cast<uint32_t>(n) << shift;
}

// --memory's SIZE: bytes, or KiB, MiB, GiB with a K, M or G suffix; 0 when
// it is no such size.
uint64_t parse_memory_size(const char* text)
{
    uint64_t n = 0;
    const char* c = text;
    for (; *c >= '0' && *c <= '9'; ++c) {
        if (n > (uint64_t{1} << 40))
            return 0;
        n = n * 10 + static_cast<uint64_t>(*c - '0');
    }
    if (c == text)
        return 0;
    unsigned shift = 0;
    switch (*c) {
    case 'K': case 'k': shift = 10; break;
    case 'M': case 'm': shift = 20; break;
    case 'G': case 'g': shift = 30; break;
    case '\0': break;
    default: return 0;
    }
    if (shift != 0 && c[1] != '\0')
        return 0;
    return n << shift;
}

} // namespace

const char* program_base_name(const char* path)
{
    const char* base = path;
    for (const char* c = path; *c; ++c)
        if (is_path_separator(*c))
            base = c + 1;
    return base;
}

void print_usage(std::FILE* stream, const char* name)
{
    std::fprintf(stream,
                 "\n%s\n"
                 "\n Usage: %s <options> <filename1> .. <filenameN> DESTINATION_DIR\n"
                 "<options>\n"
                 " -ml     m: compression method (1..4), l:compression level (0,1,2,9).\n"
                 " -p#     #: number of processors/cores (default=autodetect). 0=disable multithreading\n"
                 " -b#     #: block size in mb (default %d)\n"
                 " -r      compress/decomp directories recursively\n"
                 " -d      decomp\n"
                 " -f      force overwrite of output file\n"
                 " -o      write on standard output\n"
                 "Ex.: quarnix -32 -f file.jpg ab*.txt backup_dir\n"
                 "     quarnix -49 -r mydir%c* backup_dir\n"
                 "     quarnix -10 file file.qrn\n"
                 "     cat file | ./quarnix -of -10 >file.qrn\n"
                 "     quarnix -d -r backup_dir%c* restore_dir\n"
                 "     quarnix -d file.qrn file\n",
                 BANNER, name, static_cast<int>(DEFAULT_BLOCK_MIB), PATH_SEPARATOR, PATH_SEPARATOR);
}

void usage_exit(const char* name)
{
    print_usage(stderr, name);
    std::exit(1);
}

namespace {

[[noreturn]] void help_exit(const char* name)
{
    print_usage(stdout, name);
    std::fputs("Long options:\n"
               " --test    decompress and check every named container, writing nothing\n"
               " --list    show method, level, sizes and integrity of every named container\n"
               " --repeat  the same as -r\n"
               " --quiet   no progress line and no closing line about entries a walk left out\n"
               "           (errors are still shown)\n"
               " --progress     show the progress line even where standard error is no terminal\n"
               " --no-progress  never show the progress line\n"
               " --memory=SIZE  plan level 9 (block size, workers at once) for SIZE bytes (K, M, G suffixes)\n"
               " --help    this text\n"
               " --version the version\n",
               stdout);
    std::exit(0);
}

} // namespace

void parse_options(int argc, char** argv, RunOptions* opts)
{
    OptParser p;
    opt_init(p, argc, argv, OPTION_STRING, LONG_OPTIONS);
    for (int c; (c = opt_next(p)) != -1;) {
        switch (c) {
        case '1':
        case '2':
        case '3':
        case '4': {
            const int method = c - '0';
            const auto level = static_cast<uint8_t>(std::atoi(p.optarg));
            const CodecPlan plan = codec_plan(method, level);
            if (!plan.level_known)
                usage_exit(argv[0]);
            if (!plan.exists) {
                // Method 4 is the one that lacks levels.
                std::fprintf(stderr, "Only options -49 is available (not -40,-41,-42)\n");
                std::exit(1);
            }
            opts->compress.plan = plan;
            break;
        }
        case 'd': ++opts->decompress; break;
        case 'f': ++opts->force; break;
        case 'o': ++opts->to_stdout; break;
        case 'r': ++opts->recursive; break;
        case 'S': opts->probe_cpu = 0; break;
        case 'p': opts->thread_count = std::atoi(p.optarg); break;
        case 'b':
            opts->compress.block_size = parse_block_size(p.optarg);
            opts->block_option = p.optarg;
            break;
        case 'D': opts->hash_bits_option = std::atoi(p.optarg); break;
        case 'v': break;
        case 'h': usage_exit(program_base_name(argv[0]));
        case OPT_TEST: opts->test = 1; break;
        case OPT_LIST: opts->list = 1; break;
        case OPT_QUIET: opts->quiet = 1; break;
        case OPT_PROGRESS: opts->progress = 1; break;
        case OPT_NO_PROGRESS: opts->progress = 0; break;
        case OPT_MEMORY:
            opts->memory_option = parse_memory_size(p.optarg);
            if (opts->memory_option == 0) {
                std::fprintf(stderr, "quarnix: --memory=%s: not a size (a number, with K, M or G)\n", p.optarg);
                std::exit(1);
            }
            break;
        case OPT_HELP: help_exit(program_base_name(argv[0]));
        case OPT_VERSION:
            std::printf("%s\n", BANNER);
            std::exit(0);
        default: usage_exit(argv[0]);
        }
    }
    opts->names = std::move(p.operands);
}

} // namespace qrn
