#include "cli/getopt.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qrn {

namespace {

void diagnostic(const OptParser& p, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

void diagnostic(const OptParser& p, const char* fmt, ...)
{
    std::fprintf(stderr, "%s: ", p.argv[0]);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
}

void take_rest_as_operands(OptParser& p)
{
    for (; p.optind < p.argc; ++p.optind)
        p.operands.emplace_back(p.argv[p.optind]);
}

int parse_long(OptParser& p, const char* text)
{
    const char* eq = std::strchr(text, '=');
    const size_t len = eq ? static_cast<size_t>(eq - text) : std::strlen(text);
    int match = -1;
    bool ambiguous = false;
    for (int i = 0; p.longopts && p.longopts[i].name; ++i) {
        const char* name = p.longopts[i].name;
        if (std::strncmp(name, text, len) != 0)
            continue;
        if (std::strlen(name) == len) {
            match = i;
            ambiguous = false;
            break;
        }
        if (match < 0)
            match = i;
        else
            ambiguous = true;
    }
    if (ambiguous) {
        diagnostic(p, "ambiguous option -- %.*s", static_cast<int>(len), text);
        return '?';
    }
    if (match < 0) {
        diagnostic(p, "unknown option -- %s", text);
        return '?';
    }
    const LongOption& opt = p.longopts[match];
    if (!opt.has_arg) {
        if (eq) {
            diagnostic(p, "option doesn't take an argument -- %.*s", static_cast<int>(len), text);
            return '?';
        }
        return opt.val;
    }
    if (eq) {
        p.optarg = eq + 1;
    } else if (p.optind < p.argc) {
        p.optarg = p.argv[p.optind++];
    } else {
        diagnostic(p, "option requires an argument -- %s", text);
        return '?';
    }
    return opt.val;
}

} // namespace

void opt_init(OptParser& p, int argc, char** argv, const char* optstring, const LongOption* longopts)
{
    p = OptParser{};
    p.argc = argc;
    p.argv = argv;
    p.optstring = optstring;
    p.longopts = longopts;
    p.options_first = std::getenv("POSIXLY_CORRECT") != nullptr;
}

int opt_next(OptParser& p)
{
    p.optarg = nullptr;
    if (*p.place == '\0') {
        // Find the next option element, setting operands aside.
        for (;;) {
            if (p.optind >= p.argc)
                return -1;
            const char* arg = p.argv[p.optind];
            if (arg[0] == '-' && arg[1] != '\0')
                break;
            if (p.options_first) {
                take_rest_as_operands(p);
                return -1;
            }
            p.operands.emplace_back(arg);
            ++p.optind;
        }
        const char* arg = p.argv[p.optind++];
        if (arg[1] == '-') {
            if (arg[2] == '\0') {
                take_rest_as_operands(p);
                return -1;
            }
            return parse_long(p, arg + 2);
        }
        p.place = arg + 1;
    }

    const char c = *p.place++;
    const char* spec = c == ':' ? nullptr : std::strchr(p.optstring, c);
    if (!spec) {
        diagnostic(p, "unknown option -- %c", c);
        if (*p.place == '\0')
            p.place = "";
        return '?';
    }
    if (spec[1] != ':')
        return c;
    if (*p.place != '\0') {
        p.optarg = p.place;
    } else if (p.optind < p.argc) {
        p.optarg = p.argv[p.optind++];
    } else {
        diagnostic(p, "option requires an argument -- %c", c);
        return '?';
    }
    p.place = "";
    return c;
}

} // namespace qrn
