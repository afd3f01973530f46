// Depth-first walk over a list of top-level names: each name is returned,
// and a directory's contents follow it, a directory before what it holds.
// Entries below a top-level name are reached by directory handle, name by
// name, so that no path grows with the depth.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace qrn {

constexpr int MAX_OPEN_LEVELS = 100;

// One entry of the walk.
struct WalkEntry {
    FilePlace place;       // its name within its directory (a top-level name: its path)
    size_t depth = 0;      // 0 for a top-level name, 1 for what it holds, and so on
    PathStatus status;
    FileMeta meta;         // owner, permission bits and times
};

struct DirWalker {
    const std::vector<std::string>* names = nullptr;
    size_t next_name = 0;
    std::string top;                  // the top-level name being walked
    std::vector<DirHandle*> stack;    // open enumerations, the top-level one first
    std::string current;              // path of the innermost open directory, for messages
    int failures = 0;                 // entries that could not be read or entered
    int too_deep = 0;                 // directories returned but not entered: MAX_OPEN_LEVELS are open
    const PathStatus* exclude = nullptr;  // a directory never walked into (the destination)
};

// Null when the list is empty. A directory that is `exclude` (null: none), or
// lies beneath it, is neither returned nor entered, however it is spelled.
DirWalker* walker_open(const std::vector<std::string>& names, const PathStatus* exclude);
// 0 with the next entry, or -1 when every name is done. The entry's directory
// handle stays valid until the next call.
int walker_next(DirWalker* w, WalkEntry* entry);
void walker_close(DirWalker* w);

} // namespace qrn
