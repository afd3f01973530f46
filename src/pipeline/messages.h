// What the pipelines have to say, handed as it happens to whoever runs them:
// the pipelines print nothing themselves, and the messages keep the order of
// the events they tell of.
#pragma once

namespace qrn {

enum class MessageKind {
    Numbered,       // a numbered error: `number`, `text`
    FileFailed,     // a file was not processed: `name`, `text` (why)
    FileNote,       // a file was processed, with a caveat: `name`, `text`
    OpenFailed,     // an input could not be opened: `name`, `text` (the system's reason)
    CreateFailed,   // an output could not be created: `name`, `text` (why)
    NotContainer,   // an input has no container magic: `name`
    ReadFailed,     // reading a container failed: `number` (what the reader got)
    RecordShort,    // a record's payload is cut short: `number` bytes wanted, `got`
};

struct Message {
    MessageKind kind;
    const char* name = "";
    const char* text = "";
    int number = 0;
    int got = 0;
};

// Filled by whoever runs the pipelines. `say` may be called from any worker
// thread, one message at a time per thread; null says nothing.
struct MessageSink {
    void* context = nullptr;
    void (*say)(void* context, const Message& m) = nullptr;
};

inline void message_say(const MessageSink& sink, const Message& m)
{
    if (sink.say)
        sink.say(sink.context, m);
}

} // namespace qrn
