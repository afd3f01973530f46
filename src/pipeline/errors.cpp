#include "pipeline/errors.h"

#include <cstdio>

#include "platform/platform.h"

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

StatusCode code_of(int number)
{
    switch (number) {
    case ERR_MALLOC: return StatusCode::Memory;
    case ERR_HEADER: return StatusCode::NotContainer;
    case ERR_CORRUPT: return StatusCode::Damaged;
    default: return StatusCode::Io;
    }
}

Status report(const MessageSink& sink, int number, int err, const char* err_text)
{
    Status s = status_failed(code_of(number), error_text_of(number, err, err_text), number, err);
    Message m{MessageKind::Numbered};
    m.number = number;
    m.text = s.reason.c_str();
    message_say(sink, m);
    return s;
}

} // namespace

std::string error_text_of(int number, int err, const char* err_text)
{
    char text[2048];
    const int index = number - ERR_MALLOC;
    switch (number) {
    case ERR_OPEN: std::snprintf(text, sizeof text, ERROR_FORMATS[index], err_text); break;
    case ERR_WRITE:
    case ERR_READ: std::snprintf(text, sizeof text, ERROR_FORMATS[index], err, err_text); break;
    case ERR_MALLOC:
    case ERR_HEADER:
    case ERR_CORRUPT: std::snprintf(text, sizeof text, "%s", ERROR_FORMATS[index]); break;
    default: std::snprintf(text, sizeof text, "unknown error");
    }
    return text;
}

Status report_error(const MessageSink& sink, int number) { return report(sink, number, 0, ""); }

Status report_system_error(const MessageSink& sink, int number, int err)
{
    return report(sink, number, err, error_text(err));
}

} // namespace qrn
