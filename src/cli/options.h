// The run's settings, read from the command line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "pipeline/pipeline.h"

namespace qrn {

struct RunOptions {
    int decompress = 0;
    int recursive = 0;
    int force = 0;
    int to_stdout = 0;
    int from_stdin = 0;
    int probe_cpu = 1;
    int test = 0;                 // --test: decompress and check, write nothing
    int list = 0;                 // --list: show what containers hold
    int quiet = 0;                // --quiet: no progress, no summary of entries left out
    int progress = -1;            // --progress 1, --no-progress 0; -1: where standard error is a terminal
    int thread_count = -1;        // negative: one per processor
    int hash_bits_option = 0;     // -D as given; 0 when absent
    std::string block_option;     // -b's text as given, for messages
    uint64_t memory_option = 0;   // --memory in bytes; 0 when absent
    CompressSettings compress;    // the method and level's plan, block_size (hash_bits: see the driver)
    std::vector<std::string> names;  // the operands: inputs, then the destination
};

// Parses argv into `opts`. Prints the usage text or a refusal and ends the
// process where the command line says so.
void parse_options(int argc, char** argv, RunOptions* opts);

// The usage text; `name` is the program name to show.
void print_usage(std::FILE* stream, const char* name);
// The usage text on standard error, then the end of the process (status 1).
[[noreturn]] void usage_exit(const char* name);
// The part of a program path after its last separator.
const char* program_base_name(const char* path);

} // namespace qrn
