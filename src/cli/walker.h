// Depth-first walk over a list of top-level names: each name is returned,
// and a directory's contents follow it, a directory before what it holds.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace qrn {

constexpr int MAX_OPEN_LEVELS = 100;

struct DirWalker {
    const std::vector<std::string>* names = nullptr;
    size_t next_name = 0;
    std::string top;                  // the top-level name being walked
    std::vector<DirHandle*> stack;    // open enumerations, the top-level one first
    std::string current;              // path of the innermost open directory
    int failures = 0;                 // entries that could not be read
    const PathStatus* exclude = nullptr;  // a directory never walked into (the destination)
};

// Null when the list is empty. A directory that is `exclude` (null: none), or
// lies beneath it, is neither returned nor entered, however it is spelled.
DirWalker* walker_open(const std::vector<std::string>& names, const PathStatus* exclude);
// 0 with the next entry's path and status, or -1 when every name is done.
int walker_next(DirWalker* w, std::string* path, PathStatus* status);
void walker_close(DirWalker* w);

} // namespace qrn
