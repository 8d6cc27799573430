#include "archive_installer.h"
#include "temp_install_dir.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

// The fields of a line of the shared table, names decoded: "\\" and "\xHH" escapes, then UTF-8.
std::vector<std::wstring> tableFields(const std::string& line)
{
    std::vector<std::wstring> fields(1);
    std::string bytes;
    for (size_t i = 0; i <= line.size(); ++i) {
        if (i == line.size() || line[i] == '\t') {
            std::wstring& field = fields.back();
            field.resize(bytes.size());
            field.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                                                 &field[0], static_cast<int>(field.size()))));
            fields.emplace_back();
            bytes.clear();
        } else if (line[i] == '\\' && line.compare(i, 2, "\\x") == 0) {
            bytes += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            bytes += line[i];
            i += line[i] == '\\' ? 1 : 0;
        }
    }
    fields.pop_back();
    return fields;
}

}  // namespace

// The shared table of names (tests/install/entry_names.tsv, which make_kit.sh is checked
// against too): the installer's rules for one name under an install folder whose path has the
// row's length. The names of a whole kit's verdicts each pass them.
TEST(EntryNames, TheSharedTableHoldsTheInstallersVerdicts)
{
    TempInstallDir scratch;
    std::string table = readFileBytes(programDirectory() + L"\\entry_names.tsv");
    ASSERT_FALSE(table.empty());
    for (size_t start = 0, end; start < table.size(); start = end + 1) {
        end = table.find('\n', start);
        std::string line = table.substr(start, end - start);
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::wstring> row = tableFields(line);
        ASSERT_GE(row.size(), 4u) << line;
        std::wstring folder = scratch.path() + L"\\" + std::wstring(std::stoul(row[2]) - scratch.path().size() - 1, L'p');
        (void)CreateDirectoryW(folder.c_str(), nullptr);  // there for an earlier row of the same length
        ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str())) << line;
        bool perName = row[0] == L"ok" || row[0] == L"unsafe" || row[0] == L"uncreatable" || row[0] == L"too-long";
        for (size_t i = 3; i < row.size(); ++i) {
            const wchar_t* name = row[i].c_str();
            bool isDir = row[1].compare(0, 6, L"folder") == 0 && (i == 3 || row[1].find(L',') == std::wstring::npos);
            const wchar_t* verdict = !isSafeEntryName(name)       ? L"unsafe"
                                     : !isCreatableEntryName(name) ? L"uncreatable"
                                     : !fitsPathLimits(name, isDir) ? L"too-long"
                                                                    : L"ok";
            EXPECT_EQ(verdict, perName ? row[0] : L"ok") << line << " (name " << i - 2 << ")";
        }
        ASSERT_TRUE(SetCurrentDirectoryW(scratch.path().c_str()));
    }
}

TEST(EntryNames, NoNameIsNoEntry)
{
    EXPECT_FALSE(isSafeEntryName(nullptr));
    EXPECT_FALSE(isCreatableEntryName(nullptr));
}
