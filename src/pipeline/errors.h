// Numbered pipeline errors: each is formatted (longer than 2047 bytes, cut),
// handed to the run's messages and returned as the status of the failure.
#pragma once

#include <string>

#include "common/status.h"
#include "pipeline/messages.h"

namespace qrn {

enum ErrorNumber {
    ERR_MALLOC = 100,
    ERR_OPEN = 101,
    ERR_WRITE = 102,
    ERR_READ = 103,
    ERR_HEADER = 104,
    ERR_CORRUPT = 105,
};

// The text of error `number`; the read and write errors name `err` and its
// `err_text`, the open error `err_text` alone.
std::string error_text_of(int number, int err = 0, const char* err_text = "");

// Reports error `number` (without the system's reason) and returns its status.
Status report_error(const MessageSink& sink, int number);
// Reports error `number` with errno `err` and its text, and returns its status.
Status report_system_error(const MessageSink& sink, int number, int err);

} // namespace qrn
