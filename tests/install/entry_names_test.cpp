#include "archive_installer.h"
#include "temp_install_dir.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace {

// A name of the shared table: "\\" and "\xHH" escapes, then UTF-8.
std::wstring tableName(const std::string& field)
{
    std::string bytes;
    for (size_t i = 0; i < field.size(); ++i) {
        bool escape = field[i] == '\\' && i + 1 < field.size();
        if (escape && field[i + 1] == 'x') {
            bytes += static_cast<char>(std::stoi(field.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            bytes += field[i];
            i += escape ? 1 : 0;
        }
    }
    std::wstring name(bytes.size(), L'\0');
    name.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                                        &name[0], static_cast<int>(name.size()))));
    return name;
}

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> found;
    for (size_t start = 0;;) {
        size_t end = line.find('\t', start);
        found.push_back(line.substr(start, end - start));
        if (end == std::string::npos)
            return found;
        start = end + 1;
    }
}

}  // namespace

// The shared table of names (tests/install/entry_names.tsv, which make_kit.sh is checked
// against too): the verdict of the installer's rules for one name, under an install folder
// whose path has the row's length. Whole-kit verdicts list names that each pass them.
TEST(EntryNames, TheSharedTableHoldsTheInstallersVerdicts)
{
    TempInstallDir scratch;
    std::map<size_t, std::wstring> folders;  // an install folder for each length
    std::string table = readFileBytes(programDirectory() + L"\\entry_names.tsv");
    ASSERT_FALSE(table.empty());
    for (size_t start = 0, end; start < table.size(); start = end + 1) {
        end = table.find('\n', start);
        std::string line = table.substr(start, end - start);
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> row = fields(line);
        ASSERT_GE(row.size(), 4u) << line;
        size_t length = std::stoul(row[2]);
        std::wstring& folder = folders[length];
        if (folder.empty()) {
            ASSERT_LT(scratch.path().size() + 1, length);
            folder = scratch.path() + L"\\" + std::wstring(length - scratch.path().size() - 1, L'p');
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        }
        ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
        bool perName = row[0] == "ok" || row[0] == "unsafe" || row[0] == "uncreatable" || row[0] == "too-long";
        for (size_t i = 3; i < row.size(); ++i) {
            std::wstring name = tableName(row[i]);
            bool isDir = row[1].find("folder") == 0 && (i == 3 || row[1].find(',') == std::string::npos);
            const char* verdict = !isSafeEntryName(name.c_str())       ? "unsafe"
                                  : !isCreatableEntryName(name.c_str()) ? "uncreatable"
                                  : !fitsPathLimits(name.c_str(), isDir) ? "too-long"
                                                                          : "ok";
            EXPECT_EQ(verdict, perName ? row[0] : std::string("ok")) << line;
        }
    }
    EXPECT_TRUE(SetCurrentDirectoryW(scratch.path().c_str()));
}

TEST(EntryNames, NoNameIsNoEntry)
{
    EXPECT_FALSE(isSafeEntryName(nullptr));
    EXPECT_FALSE(isCreatableEntryName(nullptr));
}
