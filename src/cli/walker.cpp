#include "cli/walker.h"

#include <cstdio>
#include <cstring>

#include "cli/progress.h"

namespace qrn {

namespace {

void close_walk(DirWalker* w)
{
    for (DirHandle* d : w->stack)
        dir_close(d);
    w->stack.clear();
}

void report(DirWalker* w, const std::string& path)
{
    const int err = last_error();
    const auto hold = progress_hold();
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error_text(err));
    ++w->failures;
}

// True when the directory `name` is `dir` or lies beneath it: its ancestors
// are followed through ".." until the root, which is its own parent.
bool is_within(const std::string& name, const PathStatus& dir)
{
    PathStatus st, parent;
    if (path_status(name.c_str(), &st, true) != 0 || st.kind != PathKind::Directory)
        return false;
    std::string path = name;
    for (;;) {
        if (same_file(st, dir))
            return true;
        path += PATH_SEPARATOR;
        path += "..";
        if (path_status(path.c_str(), &parent, true) != 0 || same_file(parent, st))
            return false;
        st = parent;
    }
}

// Steps the walk of the current top-level directory: true with the next entry,
// false when that walk is over. Symbolic links inside the tree are reported
// as neither files nor directories, so they are never followed.
bool step(DirWalker* w, WalkEntry* e)
{
    while (!w->stack.empty()) {
        DirHandle* dir = w->stack.back();
        const char* name = dir_next(dir);
        if (!name) {
            dir_close(dir);
            w->stack.pop_back();
            if (!w->stack.empty())
                w->current.resize(w->current.rfind(PATH_SEPARATOR));
            continue;
        }
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        e->place = FilePlace{dir, name, w->current + PATH_SEPARATOR + name};
        e->depth = w->stack.size();
        if (path_status_at(dir, name, &e->status, false, &e->meta) != 0)
            continue;
        if (w->exclude && e->status.kind == PathKind::Directory && same_file(e->status, *w->exclude))
            continue;
        if (e->status.kind == PathKind::Directory) {
            if (w->stack.size() >= MAX_OPEN_LEVELS)
                ++w->too_deep;
            else if (DirHandle* d = dir_open_at(dir, name)) {
                w->stack.push_back(d);
                w->current = e->place.path;
            } else {
                report(w, e->place.path);
            }
        }
        return true;
    }
    return false;
}

} // namespace

DirWalker* walker_open(const std::vector<std::string>& names, const PathStatus* exclude)
{
    if (names.empty())
        return nullptr;
    auto* w = new DirWalker;
    w->names = &names;
    w->exclude = exclude;
    return w;
}

int walker_next(DirWalker* w, WalkEntry* e)
{
    for (;;) {
        if (!w->stack.empty() && step(w, e))
            return 0;
        if (w->next_name >= w->names->size())
            return -1;
        close_walk(w);
        w->top = (*w->names)[w->next_name++];
        if (w->exclude && is_within(w->top, *w->exclude)) {
            const auto hold = progress_hold();
            std::fprintf(stderr, "quarnix: %s: skipped: it is the destination or lies inside it\n", w->top.c_str());
            continue;
        }
        if (DirHandle* d = dir_open(w->top.c_str())) {
            w->stack.push_back(d);
            w->current = w->top;
            while (w->current.size() > 1 && is_path_separator(w->current.back()))
                w->current.pop_back();
        }
        e->place = place_of_path(w->top.c_str());
        e->depth = 0;
        if (path_status_at(nullptr, w->top.c_str(), &e->status, true, &e->meta) == 0)
            return 0;
        report(w, w->top);
        close_walk(w);
    }
}

void walker_close(DirWalker* w)
{
    if (!w)
        return;
    close_walk(w);
    delete w;
}

} // namespace qrn
