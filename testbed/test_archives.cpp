#include "test_archives.h"

#include "temp_install_dir.h"
#include "test_server.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

std::wstring archiveFolder()
{
    const char* data = getenv("UPDATER_TEST_DATA");
    if (!data)
        throw std::runtime_error("UPDATER_TEST_DATA is not set: no test archives for this run");
    return windowsPathOf(std::string(data) + "/test-archives");
}

std::string readAll(const std::wstring& path)
{
    std::string bytes = readFileBytes(path);
    if (bytes.empty() && GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        throw std::runtime_error("cannot read a file of the test archives");
    return bytes;
}

std::wstring fromUtf8(const std::string& text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

}  // namespace

std::wstring testArchive(const std::wstring& name)
{
    return archiveFolder() + L"\\" + name;
}

std::vector<ArchiveEntry> archiveListing(const std::wstring& name)
{
    std::vector<ArchiveEntry> entries;
    std::string listing = readAll(testArchive(name) + L".list");
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string::npos)
            end = listing.size();
        std::string line = listing.substr(start, end - start);
        size_t tab = line.find('\t');
        if (tab != std::string::npos)
            entries.push_back({fromUtf8(line.substr(0, tab)), strtoull(line.c_str() + tab + 1, nullptr, 10)});
        start = end + 1;
    }
    return entries;
}

std::string treeFile(const std::wstring& path)
{
    std::wstring windows = path;
    for (wchar_t& c : windows) {
        if (c == L'/')
            c = L'\\';
    }
    return readAll(testArchive(L"tree\\" + windows));
}
