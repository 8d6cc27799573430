// A scratch install directory for one test: made empty under the temporary folder, made the
// current directory, and removed with everything in it (attributes cleared) when it goes.
#pragma once

#include <string>

class TempInstallDir {
public:
    TempInstallDir();
    ~TempInstallDir();
    TempInstallDir(const TempInstallDir&) = delete;
    TempInstallDir& operator=(const TempInstallDir&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

    void write(const std::wstring& name, const std::string& bytes) const;
    std::string read(const std::wstring& name) const;  // empty when missing
    bool exists(const std::wstring& name) const;
    // Every file and folder below it but upgrade.log: path, attributes, write time and bytes.
    std::string snapshot(const std::wstring& under = L"") const;

private:
    std::wstring path_;
    std::wstring previousDirectory_;
};

// Deletes a directory tree, clearing attributes first. Used for cleanup only.
void removeTestTree(const std::wstring& path);

// The directory of the running test program (where the build puts every executable).
std::wstring programDirectory();

// Copies a built program into dir under the given name; returns the new path.
std::wstring installProgram(const std::wstring& builtName, const std::wstring& dir,
                            const std::wstring& name);

// The bytes of a file; empty when it cannot be read.
std::string readFileBytes(const std::wstring& path);

// UTF-8 form of text, as the test-bed programs record what they saw.
std::string utf8(const std::wstring& text);

// While it lives, the temporary folder (TMP, which programs started meanwhile inherit) is a
// folder on the test's small volume, a file system of its own (UPDATER_TEST_DATA/small-volume).
class TempFolderOnSmallVolume {
public:
    TempFolderOnSmallVolume();
    ~TempFolderOnSmallVolume();
    TempFolderOnSmallVolume(const TempFolderOnSmallVolume&) = delete;
    TempFolderOnSmallVolume& operator=(const TempFolderOnSmallVolume&) = delete;

private:
    std::wstring saved_;
    bool hadOne_;
};
