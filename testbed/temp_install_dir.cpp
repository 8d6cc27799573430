#include "temp_install_dir.h"

#include "test_server.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

unsigned scratchCounter;

std::wstring scratchRoot()
{
    wchar_t temp[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH)
        throw std::runtime_error("no temporary folder");
    std::wstring root = std::wstring(temp) + L"updater-tests";
    CreateDirectoryW(root.c_str(), nullptr);  // exists already after the first test
    return root;
}

}  // namespace

TempInstallDir::TempInstallDir()
{
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    previousDirectory_ = current;
    for (;;) {
        path_ = scratchRoot() + L"\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++scratchCounter);
        if (CreateDirectoryW(path_.c_str(), nullptr))
            break;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            throw std::runtime_error("cannot create a scratch directory");
        removeTestTree(path_);  // a leftover of a crashed run with a recycled process id
    }
    if (!SetCurrentDirectoryW(path_.c_str()))
        throw std::runtime_error("cannot enter the scratch directory");
}

TempInstallDir::~TempInstallDir()
{
    SetCurrentDirectoryW(previousDirectory_.c_str());
    removeTestTree(path_);
}

void TempInstallDir::write(const std::wstring& name, const std::string& bytes) const
{
    FILE* out = _wfopen(file(name).c_str(), L"wb");
    if (!out)
        throw std::runtime_error("cannot write a scratch file");
    fwrite(bytes.data(), 1, bytes.size(), out);
    fclose(out);
}

std::string TempInstallDir::read(const std::wstring& name) const
{
    return readFileBytes(file(name));
}

std::string readFileBytes(const std::wstring& path)
{
    std::string bytes;
    FILE* in = _wfopen(path.c_str(), L"rb");
    if (!in)
        return bytes;
    char block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof block, in)) > 0)
        bytes.append(block, got);
    fclose(in);
    return bytes;
}

bool TempInstallDir::exists(const std::wstring& name) const
{
    return GetFileAttributesW(file(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string TempInstallDir::snapshot(const std::wstring& under) const
{
    std::string text;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((file(under) + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return text;
    do {
        std::wstring name = (under.empty() ? L"" : under + L"\\") + found.cFileName;
        if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L"..") || name == L"upgrade.log")
            continue;
        bool folder = found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        // A folder's own time changes with what comes and goes in it: not compared.
        text += utf8(name) + " " + std::to_string(found.dwFileAttributes) + " " +
                (folder ? snapshot(name) : std::to_string(found.ftLastWriteTime.dwLowDateTime) + "\n" + read(name)) +
                "\n";
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return text;
}

TempFolderOnSmallVolume::TempFolderOnSmallVolume()
{
    const char* data = getenv("UPDATER_TEST_DATA");
    if (!data)
        throw std::runtime_error("UPDATER_TEST_DATA is not set: no small volume for this run");
    wchar_t saved[MAX_PATH] = L"";
    hadOne_ = GetEnvironmentVariableW(L"TMP", saved, MAX_PATH) > 0;
    saved_ = saved;
    std::wstring temp = windowsPathOf(std::string(data) + "/small-volume/temp");
    CreateDirectoryW(temp.c_str(), nullptr);  // there already after the first test
    SetEnvironmentVariableW(L"TMP", temp.c_str());
}

TempFolderOnSmallVolume::~TempFolderOnSmallVolume()
{
    SetEnvironmentVariableW(L"TMP", hadOne_ ? saved_.c_str() : nullptr);
}

void removeTestTree(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTestTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
}

std::wstring programDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

std::wstring installProgram(const std::wstring& builtName, const std::wstring& dir,
                            const std::wstring& name)
{
    std::wstring target = dir + L"\\" + name;
    if (!CopyFileW((programDirectory() + L"\\" + builtName).c_str(), target.c_str(), FALSE))
        throw std::runtime_error("cannot copy a built program");
    return target;
}

std::string utf8(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, nullptr,
                            nullptr);
    return bytes;
}
