// The one place a run's messages are printed: what the pipelines say, and the
// driver's own failures, each in the words and on the stream quarnix has
// always used.
#pragma once

#include <string>

#include "pipeline/messages.h"

namespace qrn {

struct MessagePrinter {
    bool numbered_to_stderr = false;   // standard output carries the data
};

// A name as one line shows it: a backslash doubled, control characters as
// \n, \t, \r or \xHH.
std::string escaped_name(const std::string& name);

// Prints one message (clearing the progress line first).
void message_print(const MessagePrinter& printer, const Message& m);
// A sink for the pipelines that prints through `printer`.
MessageSink message_printer_sink(MessagePrinter* printer);

} // namespace qrn
