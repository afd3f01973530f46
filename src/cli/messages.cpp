#include "cli/messages.h"

#include <cstdio>

namespace qrn {

void message_print(const MessagePrinter& printer, const Message& m)
{
    switch (m.kind) {
    case MessageKind::Numbered: {
        std::FILE* stream = printer.numbered_to_stderr ? stderr : stdout;
        std::fprintf(stream, "Error: %d %s\n", m.number, m.text);
        std::fflush(stream);
        break;
    }
    case MessageKind::FileFailed:
    case MessageKind::FileNote: std::fprintf(stderr, "quarnix: %s: %s\n", m.name, m.text); break;
    case MessageKind::OpenFailed: std::fprintf(stderr, "can't open input file '%s'. '%s'\n", m.name, m.text); break;
    case MessageKind::CreateFailed: std::fprintf(stderr, "creat error '%s' '%s'\n", m.name, m.text); break;
    case MessageKind::NotContainer: std::fprintf(stderr, "'%s' not qrn file\n", m.name); break;
    case MessageKind::ReadFailed: std::fprintf(stderr, "Decompression error.rc=%d\n", m.number); break;
    case MessageKind::RecordShort: std::fprintf(stderr, "RD ERR%d,%d ", m.number, m.got); break;
    }
}

MessageSink message_printer_sink(MessagePrinter* printer)
{
    MessageSink sink;
    sink.context = printer;
    sink.say = [](void* context, const Message& m) { message_print(*static_cast<MessagePrinter*>(context), m); };
    return sink;
}

} // namespace qrn
