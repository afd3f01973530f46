#include "cli/progress.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>

#include "cli/messages.h"
#include "platform/platform.h"

namespace qrn {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto FIRST_DRAW = std::chrono::milliseconds(1000);
constexpr auto REDRAW = std::chrono::milliseconds(200);
// The rate is measured over the last few seconds, so that it follows
// changes in the data.
constexpr size_t RATE_SAMPLES = 25;
constexpr size_t LINE_COLUMNS = 79;

struct FileEntry {
    std::string name;
    int64_t size;
    uint64_t start;
    int index;
};

struct Sample {
    Clock::time_point at;
    uint64_t done;
};

struct Display {
    std::mutex lock;
    std::condition_variable wake;
    bool running = false;
    bool stopping = false;
    const Pipeline* p = nullptr;
    int count = 0;
    int files_seen = 0;
    std::deque<FileEntry> files;   // the file being coded first
    std::deque<Sample> samples;
    Clock::time_point begun;
    size_t shown = 0;              // columns of the line on screen (0: none)
    PlatformThread* thread = nullptr;
};

// Never destroyed: a run may end with exit() while the thread still waits.
Display& display()
{
    static Display* d = new Display;
    return *d;
}

void write_text(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void clear_locked(Display& d)
{
    if (d.shown == 0)
        return;
    status_line_clear();
    d.shown = 0;
}

std::string clock_text(double seconds)
{
    const auto s = static_cast<uint64_t>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%u:%02u:%02u", static_cast<unsigned>(s / 3600),
                      static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60));
    else
        std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(s / 60), static_cast<unsigned>(s % 60));
    return text;
}

void draw_locked(Display& d)
{
    const uint64_t done = d.p->coded_bytes.load(std::memory_order_relaxed);
    // Files whose bytes are all coded make way for the next one.
    while (d.files.size() > 1 && d.files[1].start <= done)
        d.files.pop_front();
    if (d.files.empty())
        return;
    const Clock::time_point now = Clock::now();
    d.samples.push_back({now, done});
    if (d.samples.size() > RATE_SAMPLES)
        d.samples.pop_front();
    const Sample& first = d.samples.front();
    const double seconds = std::chrono::duration<double>(now - first.at).count();
    const double rate = seconds > 0.5 ? static_cast<double>(done - first.done) / seconds : 0;
    const FileEntry& f = d.files.front();
    std::string line = progress_text(f.name, f.index, d.count, done - f.start, f.size, rate);
    const size_t columns = line.size();
    if (columns < d.shown)
        line.append(d.shown - columns, ' ');
    write_text('\r' + line);
    d.shown = std::max(columns, d.shown);
    status_line_shown(static_cast<int>(d.shown));
}

int display_thread(void*)
{
    Display& d = display();
    std::unique_lock<std::mutex> hold(d.lock);
    while (!d.stopping) {
        d.wake.wait_for(hold, REDRAW);
        if (!d.stopping && Clock::now() - d.begun >= FIRST_DRAW)
            draw_locked(d);
    }
    return 0;
}

} // namespace

std::string progress_text(const std::string& name, int index, int count, uint64_t done, int64_t size, double rate)
{
    char head[32] = "";
    if (count > 1)
        std::snprintf(head, sizeof head, "[%d/%d] ", index, count);
    else if (count == 0)
        std::snprintf(head, sizeof head, "[%d] ", index);
    char tail[96];
    const double mb_s = rate / 1e6;
    if (size > 0) {
        const uint64_t total = static_cast<uint64_t>(size);
        const uint64_t part = done < total ? done : total;
        const std::string left = rate > 0 ? clock_text(static_cast<double>(total - part) / rate) : "-:--";
        std::snprintf(tail, sizeof tail, "  %3u%%  %6.1f MB/s  %s left",
                      static_cast<unsigned>(part * 100 / total), mb_s, left.c_str());
    } else {
        std::snprintf(tail, sizeof tail, "  %.1f MB  %6.1f MB/s", static_cast<double>(done) / 1e6, mb_s);
    }
    // The name gives way from its start when the line would be too wide.
    const std::string shown = escaped_name(name);
    const size_t fixed = std::strlen(head) + std::strlen(tail);
    const size_t room = LINE_COLUMNS > fixed + 8 ? LINE_COLUMNS - fixed : 8;
    std::string line(head);
    if (shown.size() > room)
        line.append("...").append(shown, shown.size() - (room - 3), room - 3);
    else
        line += shown;
    return line + tail;
}

void progress_start(const Pipeline& p, int file_count)
{
    Display& d = display();
    {
        std::lock_guard<std::mutex> hold(d.lock);
        d.p = &p;
        d.count = file_count;
        d.begun = Clock::now();
        d.stopping = false;
    }
    d.thread = thread_create(display_thread, nullptr, size_t{1} << 18);
    d.running = d.thread != nullptr;
}

void progress_file(const std::string& name, int64_t size, uint64_t start)
{
    Display& d = display();
    if (!d.running)
        return;
    std::lock_guard<std::mutex> hold(d.lock);
    d.files.push_back({name, size, start, ++d.files_seen});
}

void progress_stop()
{
    Display& d = display();
    if (!d.running)
        return;
    {
        std::lock_guard<std::mutex> hold(d.lock);
        d.stopping = true;
        clear_locked(d);
    }
    d.wake.notify_all();
    thread_join(d.thread);
    d.thread = nullptr;
    d.running = false;
}

std::unique_lock<std::mutex> progress_hold()
{
    Display& d = display();
    std::unique_lock<std::mutex> hold(d.lock);
    clear_locked(d);
    return hold;
}

} // namespace qrn
