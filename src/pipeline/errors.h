// Numbered pipeline errors. Each is formatted into a 2048-byte buffer (longer
// texts are cut) and handed to `error_sink`, which prints "Error: %d %s\n" on
// standard output unless replaced.
#pragma once

namespace qrn {

enum ErrorNumber {
    ERR_MALLOC = 100,
    ERR_OPEN = 101,
    ERR_WRITE = 102,
    ERR_READ = 103,
    ERR_HEADER = 104,
    ERR_CORRUPT = 105,
};

using ErrorSink = void (*)(int number, const char* text);
extern ErrorSink error_sink;

void print_error(int number, const char* text);

// When standard output carries the data, messages must not mix into it: the
// default sink then prints on standard error.
void set_errors_to_stderr(bool on);

// Formats error `number` with the arguments its format takes and reports it.
// Returns -number.
int report_error(int number, ...);
// The text of the last error reported on the calling thread.
const char* last_reported_text();

} // namespace qrn
