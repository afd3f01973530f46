#include "cli/walker.h"

#include <cstdio>
#include <cstring>

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
        path += "/..";
        if (path_status(path.c_str(), &parent, true) != 0 || same_file(parent, st))
            return false;
        st = parent;
    }
}

// Steps the walk of the current top-level directory: true with the next entry,
// false when that walk is over. Symbolic links inside the tree are reported
// as neither files nor directories, so they are never followed.
bool step(DirWalker* w, std::string* path, PathStatus* status)
{
    while (!w->stack.empty()) {
        const char* name = dir_next(w->stack.back());
        if (!name) {
            dir_close(w->stack.back());
            w->stack.pop_back();
            if (!w->stack.empty())
                w->current.resize(w->current.rfind('/'));
            continue;
        }
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        std::string joined = w->current + '/' + name;
        if (path_status(joined.c_str(), status, false) != 0)
            continue;
        if (w->exclude && status->kind == PathKind::Directory && same_file(*status, *w->exclude))
            continue;
        if (status->kind == PathKind::Directory && w->stack.size() < MAX_OPEN_LEVELS) {
            if (DirHandle* d = dir_open(joined.c_str())) {
                w->stack.push_back(d);
                w->current = joined;
            } else {
                report(w, joined);
            }
        }
        *path = std::move(joined);
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

int walker_next(DirWalker* w, std::string* path, PathStatus* status)
{
    for (;;) {
        if (!w->stack.empty() && step(w, path, status))
            return 0;
        if (w->next_name >= w->names->size())
            return -1;
        close_walk(w);
        w->top = (*w->names)[w->next_name++];
        if (w->exclude && is_within(w->top, *w->exclude)) {
            std::fprintf(stderr, "quarnix: %s: skipped: it is the destination or lies inside it\n", w->top.c_str());
            continue;
        }
        if (DirHandle* d = dir_open(w->top.c_str())) {
            w->stack.push_back(d);
            w->current = w->top;
            while (w->current.size() > 1 && w->current.back() == '/')
                w->current.pop_back();
        }
        if (path_status(w->top.c_str(), status, true) == 0) {
            *path = w->top;
            return 0;
        }
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
