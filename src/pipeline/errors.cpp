#include "pipeline/errors.h"

#include <cstdarg>
#include <cstdio>

namespace qrn {

namespace {

constexpr const char* ERROR_FORMATS[] = {
    "malloc error",
    "cannot open file '%s'",
    "write error. errno=%d '%s'",
    "read error. errno=%d '%s'",
    "file header. no quarnix format",
    "file is corrupted",
};

bool errors_to_stderr = false;
thread_local char last_text[2048];

} // namespace

void set_errors_to_stderr(bool on) { errors_to_stderr = on; }

void print_error(int number, const char* text)
{
    FILE* stream = errors_to_stderr ? stderr : stdout;
    std::fprintf(stream, "Error: %d %s\n", number, text);
    std::fflush(stream);
}

ErrorSink error_sink = print_error;

int report_error(int number, ...)
{
    char text[2048];
    const int index = number - ERR_MALLOC;
    if (index >= 0 && index < static_cast<int>(sizeof ERROR_FORMATS / sizeof ERROR_FORMATS[0])) {
        va_list args;
        va_start(args, number);
        std::vsnprintf(text, sizeof text, ERROR_FORMATS[index], args);
        va_end(args);
    } else {
        std::snprintf(text, sizeof text, "unknown error");
    }
    std::snprintf(last_text, sizeof last_text, "%s", text);
    error_sink(number, text);
    return -number;
}

const char* last_reported_text() { return last_text; }

} // namespace qrn
