#include "cli/messages.h"

#include <cstdio>

#include "cli/progress.h"

namespace qrn {

std::string escaped_name(const std::string& name)
{
    std::string text;
    for (const char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\\')
            text += "\\\\";
        else if (c == '\n')
            text += "\\n";
        else if (c == '\t')
            text += "\\t";
        else if (c == '\r')
            text += "\\r";
        else if (b < 0x20 || b == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            text += hex;
        } else
            text += c;
    }
    return text;
}

void message_print(const MessagePrinter& printer, const Message& m)
{
    const auto hold = progress_hold();
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
