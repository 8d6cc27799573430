#include "files.h"

#include "result_codes.h"
#include "temp_install_dir.h"

#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

DWORD attributesOf(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str());
}

// Read-only, hidden and system are what the helpers must clear.
bool hasSpecialAttributes(const std::wstring& path)
{
    return (attributesOf(path) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
}

// The test bed's Unix root is drive Z:, and every write to its /dev/full fails as on a full
// disk. Null where there is no such device.
const wchar_t* fullDiskDevice()
{
    static const wchar_t device[] = L"Z:\\dev\\full";
    FILE* probe = _wfopen(device, L"wb");
    if (!probe)
        return nullptr;
    fclose(probe);
    return device;
}

}  // namespace

TEST(WriteFileData, WritesTheWholeBlockOrRefuses)
{
    TempInstallDir dir;
    const char data[] = "settings\r\n";
    EXPECT_EQ(writeFileData(dir.file(L"a.bin").c_str(), data, 10), RESULT_OK);
    EXPECT_EQ(dir.read(L"a.bin"), "settings\r\n");
    EXPECT_FALSE(hasSpecialAttributes(dir.file(L"a.bin")));

    // Bad arguments make no file.
    EXPECT_EQ(writeFileData(dir.file(L"empty.bin").c_str(), data, 0), RESULT_MISSING_ARGUMENT);
    EXPECT_EQ(writeFileData(dir.file(L"null.bin").c_str(), nullptr, 4), RESULT_MISSING_ARGUMENT);
    EXPECT_EQ(writeFileData(nullptr, data, 4), RESULT_MISSING_ARGUMENT);
    EXPECT_FALSE(dir.exists(L"empty.bin"));
    EXPECT_FALSE(dir.exists(L"null.bin"));

    EXPECT_EQ(writeFileData(dir.file(L"missing\\a.bin").c_str(), data, 4), RESULT_FILE_WRITE);
}

TEST(WriteFileData, ReportsDataThatCouldNotBeWrittenWhole)
{
    const wchar_t* fullDisk = fullDiskDevice();
    if (!fullDisk)
        GTEST_SKIP() << "no device that refuses every write";
    // A small block stays in the stream's buffer until the close; a large one is written at once.
    EXPECT_EQ(writeFileData(fullDisk, "abc", 3), RESULT_FILE_WRITE);
    const std::string large(3 * COPY_BLOCK_SIZE + 5, 'x');
    EXPECT_EQ(writeFileData(fullDisk, large.data(), large.size()), RESULT_FILE_WRITE);
}

TEST(WriteFileData, SavesBlocksOfTwoGibibytesAndMore)
{
    // Committed but untouched pages cost no memory; only the marked ends are touched.
    const size_t size = (size_t(1) << 31) + 3;
    char* block = static_cast<char*>(VirtualAlloc(nullptr, size_t(0xFFFFFFFF), MEM_RESERVE | MEM_COMMIT,
                                                  PAGE_READWRITE));
    ASSERT_NE(block, nullptr);
    memcpy(block, "head", 4);
    memcpy(block + size - 4, "tail", 4);
    TempInstallDir dir;
    const std::wstring path = dir.file(L"upgrade.rtp");
    EXPECT_EQ(writeFileData(path.c_str(), block, size), RESULT_OK);
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow, uint64_t(size));
    FILE* file = _wfopen(path.c_str(), L"rb");
    ASSERT_NE(file, nullptr);
    char head[4] = {};
    char tail[4] = {};
    EXPECT_EQ(fread(head, 1, 4, file), 4u);
    EXPECT_EQ(_fseeki64(file, static_cast<long long>(size) - 4, SEEK_SET), 0);
    EXPECT_EQ(fread(tail, 1, 4, file), 4u);
    fclose(file);
    EXPECT_EQ(std::string(head, 4), "head");
    EXPECT_EQ(std::string(tail, 4), "tail");

    // The largest size a download can have, to the null device: every byte is taken.
    if (_waccess(L"Z:\\dev\\null", 0) == 0) {
        EXPECT_EQ(writeFileData(L"Z:\\dev\\null", block, size_t(0xFFFFFFFF)), RESULT_OK);
    }
    VirtualFree(block, 0, MEM_RELEASE);
}

TEST(CopyFile, CopiesWholeFilesWithNormalAttributes)
{
    TempInstallDir dir;
    // Sizes around the copy block, the exact multiple included (its last read returns 0 bytes).
    for (size_t size : {size_t(0), size_t(1), COPY_BLOCK_SIZE - 1, COPY_BLOCK_SIZE, 2 * COPY_BLOCK_SIZE,
                        2 * COPY_BLOCK_SIZE + 7}) {
        std::string content(size, '\0');
        for (size_t i = 0; i < size; ++i)
            content[i] = static_cast<char>(i * 7 + i / 251);
        dir.write(L"source.bin", content);
        ASSERT_EQ(copyFile(dir.file(L"source.bin").c_str(), dir.file(L"copy.bin").c_str()), RESULT_OK);
        EXPECT_EQ(dir.read(L"copy.bin"), content) << "size " << size;
    }

    dir.write(L"locked.ini", "x=1");
    SetFileAttributesW(dir.file(L"locked.ini").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(copyFile(dir.file(L"locked.ini").c_str(), dir.file(L"copy.ini").c_str()), RESULT_OK);
    EXPECT_EQ(dir.read(L"copy.ini"), "x=1");
    EXPECT_FALSE(hasSpecialAttributes(dir.file(L"locked.ini")));
    EXPECT_FALSE(hasSpecialAttributes(dir.file(L"copy.ini")));
}

TEST(CopyFile, ReportsWhatCannotBeCopied)
{
    TempInstallDir dir;
    dir.write(L"source.bin", "abc");
    EXPECT_EQ(copyFile(dir.file(L"missing.bin").c_str(), dir.file(L"copy.bin").c_str()), RESULT_FILE_OPEN);
    EXPECT_FALSE(dir.exists(L"copy.bin"));
    EXPECT_EQ(copyFile(dir.file(L"source.bin").c_str(), dir.file(L"no\\copy.bin").c_str()), RESULT_FILE_OPEN);
    EXPECT_EQ(copyFile(nullptr, dir.file(L"copy.bin").c_str()), RESULT_MISSING_ARGUMENT);
    EXPECT_EQ(copyFile(dir.file(L"source.bin").c_str(), nullptr), RESULT_MISSING_ARGUMENT);
}

TEST(CopyFile, ReportsACopyThatCouldNotBeWrittenWhole)
{
    const wchar_t* fullDisk = fullDiskDevice();
    if (!fullDisk)
        GTEST_SKIP() << "no device that refuses every write";
    TempInstallDir dir;
    dir.write(L"small.bin", "abc");  // held in the stream's buffer until the close
    dir.write(L"large.bin", std::string(3 * COPY_BLOCK_SIZE + 5, 'x'));
    EXPECT_EQ(copyFile(dir.file(L"small.bin").c_str(), fullDisk), RESULT_FILE_WRITE);
    EXPECT_EQ(copyFile(dir.file(L"large.bin").c_str(), fullDisk), RESULT_FILE_WRITE);
}

TEST(DeleteFile, DeletesProtectedFilesAndReportsTheSystemError)
{
    TempInstallDir dir;
    const DWORD protections[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                                 FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM};
    for (DWORD protection : protections) {
        dir.write(L"protected.txt", "x");
        SetFileAttributesW(dir.file(L"protected.txt").c_str(), protection);
        EXPECT_EQ(deleteFile(dir.file(L"protected.txt").c_str()), RESULT_OK) << "attributes " << protection;
        EXPECT_FALSE(dir.exists(L"protected.txt"));
    }
    EXPECT_EQ(deleteFile(dir.file(L"missing.txt").c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(deleteFile(nullptr), RESULT_MISSING_ARGUMENT);
}

TEST(FileTests, TellFilesFromDirectories)
{
    TempInstallDir dir;
    dir.write(L"file.txt", "x");
    CreateDirectoryW(dir.file(L"folder").c_str(), nullptr);
    const struct {
        const wchar_t* name;
        int isFile;
        int isDir;
    } table[] = {{L"file.txt", 1, 0}, {L"folder", 0, 1}, {L"missing", 0, 0}};
    for (const auto& row : table) {
        EXPECT_EQ(isExistingFile(dir.file(row.name).c_str()), row.isFile) << row.name;
        EXPECT_EQ(isDirectory(dir.file(row.name).c_str()), row.isDir) << row.name;
    }
    EXPECT_EQ(isExistingFile(nullptr), 0);
    EXPECT_EQ(isDirectory(nullptr), -1);
}
