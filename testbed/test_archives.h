// The 7z archives that testbed/make_archives.py made for this test run.
#pragma once

#include <string>
#include <vector>

// The bytes of the updater.exe entry of selfupdate.7z, as make_archives.py stores them.
constexpr char SELF_UPDATE_BYTES[] = "updater.exe of the kit\n";

struct ArchiveEntry {
    std::wstring path;  // as stored, "/" separators
    unsigned long long size;
};

// Windows path of a made archive (or of the "tree" it was made from) by its file name.
std::wstring testArchive(const std::wstring& name);

// The archive's entries in archive order; empty when it has no listing.
std::vector<ArchiveEntry> archiveListing(const std::wstring& name);

// The bytes of a file of the tree the archives were made from ("/" separators).
std::string treeFile(const std::wstring& path);
