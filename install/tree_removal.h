// Tree removal: deletes a directory tree depth-first, as far as it can.
#pragma once

#include <cstddef>

constexpr size_t TREE_PATH_CAPACITY = 780;

// Told the bare name of every entry before it is removed; the caller shows it and keeps its
// window alive.
using TreeVisitHandler = void (*)(const wchar_t* name);

// Deletes everything in base + suffix (suffix may be null or empty) that pattern ("\*.*")
// finds, subdirectories first as they are met, then the directory itself. Files that cannot
// be deleted stay, and so do the directories above them; nothing is reported. Junctions and
// symbolic links (any reparse point) are removed themselves and never followed, base + suffix
// included: what they lead to is left as it is. Paths longer than the buffers are passed over.
// onVisit may be null.
void removeTree(const wchar_t* base, const wchar_t* suffix, const wchar_t* pattern, TreeVisitHandler onVisit);
