// A getopt_long work-alike with the diagnostics quarnix prints. Operands are
// collected in order behind the options (unless POSIXLY_CORRECT asks for
// options first); "--" ends the options.
#pragma once

#include <string>
#include <vector>

namespace qrn {

struct LongOption {
    const char* name;
    bool has_arg;
    int val;
};

struct OptParser {
    int argc = 0;
    char** argv = nullptr;
    const char* optstring = "";
    const LongOption* longopts = nullptr;  // ends with a null name
    bool options_first = false;            // POSIXLY_CORRECT
    int optind = 1;
    const char* optarg = nullptr;
    const char* place = "";                // rest of a group of short options
    std::vector<std::string> operands;
};

void opt_init(OptParser& p, int argc, char** argv, const char* optstring, const LongOption* longopts);
// The next option's value; '?' after printing a diagnostic on standard error;
// -1 when the options are done (every operand is then in `operands`).
int opt_next(OptParser& p);

} // namespace qrn
