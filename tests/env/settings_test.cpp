#include "settings.h"

#include "result_codes.h"
#include "temp_install_dir.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

const char MARK[] = "\xFF\xFE";

std::string utf16(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::wstring fromUtf16(const std::string& bytes)
{
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

// A scratch install directory with the settings loaded from it.
struct Loaded {
    TempInstallDir dir;
    int result = -2;
    void load() { result = loadSettings(dir.path().c_str(), L"\\zolt.ini", true); }
    std::wstring settingsText() const { return fromUtf16(dir.read(L"zolt.ini")); }
};

}  // namespace

TEST(LoadSettings, CreatesTheSettingsFromPendingOnesOrReportsItMissing)
{
    Loaded none;
    none.load();
    EXPECT_EQ(none.result, RESULT_SETTINGS_MISSING);
    EXPECT_FALSE(none.dir.exists(L"zolt.ini"));

    Loaded pending;
    pending.dir.write(L"zolt_upd.ini", "[General]\r\nUpgradeLaunch=client.exe\r\n[universe]\r\nport=7000\r\n");
    pending.load();
    EXPECT_EQ(pending.result, RESULT_OK);
    EXPECT_FALSE(pending.dir.exists(L"zolt_upd.ini"));
    EXPECT_FALSE(pending.dir.exists(L"zolt_tmp_ascii.ini"));
    EXPECT_EQ(pending.settingsText(),
              L"\uFEFF[General]\r\nUpgradeLaunch=client.exe\r\n\r\n[universe]\r\nport=7000\r\n");
    EXPECT_STREQ(readString(L"general", L"upgradelaunch"), L"client.exe");  // names ignore case
    EXPECT_EQ(readInt(L"universe", L"port"), 7000);
}

TEST(LoadSettings, ConvertsSingleByteSettingsToUtf16InCleanLayout)
{
    Loaded loaded;
    loaded.dir.write(L"zolt.ini",
                     "stray=before any section\r\n"
                     "  [Gen]eral]  \r\n"
                     "   name  =  caf\xE9 = bar  \r\n"
                     "\r\n"
                     "=no key\r\n"
                     "no equals sign\r\n"
                     ";comment=kept\r\n"
                     "[ Spaced ]\n"
                     "k=v\n");
    loaded.load();
    EXPECT_EQ(loaded.result, RESULT_OK);
    EXPECT_EQ(loaded.dir.read(L"zolt.ini").substr(0, 2), MARK);
    EXPECT_FALSE(loaded.dir.exists(L"zolt_tmp_ascii.ini"));
    // A stray bracket goes; a blank inside the brackets stays with the name.
    EXPECT_EQ(loaded.settingsText(),
              L"\uFEFF[General]\r\nname=caf\u00e9 = bar\r\n;comment=kept\r\n\r\n[Spaced ]\r\nk=v\r\n");
    EXPECT_STREQ(readString(L"General", L"name"), L"caf\u00e9 = bar");
    EXPECT_STREQ(readString(L"General", L"stray"), L"");
}

TEST(LoadSettings, ReadsMergeSourcesByteForByteThenAsUtf16)
{
    Loaded loaded;
    loaded.dir.write(L"zolt.ini", std::string(MARK) + utf16(L"[General]\r\nkeep=1\r\n"));
    // UTF-8 is not decoded: the two bytes of an é become two characters. The UTF-8 mark before
    // the first section is skipped with everything else that stands there.
    loaded.dir.write(L"zolt_upd.ini", "\xEF\xBB\xBF[General]\r\nname=caf\xC3\xA9\r\n");
    loaded.load();
    EXPECT_STREQ(readString(L"General", L"name"), L"caf\u00c3\u00a9");
    EXPECT_STREQ(readString(L"General", L"keep"), L"1");
    EXPECT_FALSE(loaded.dir.exists(L"zolt_upd.ini"));

    // No entry as single-byte text: the second pass reads it as UTF-16.
    loaded.dir.write(L"zolt_upd.ini", std::string(MARK) + utf16(L"[Wide]\r\nname=\u0416\u20ac\r\n"));
    loaded.load();
    EXPECT_STREQ(readString(L"Wide", L"name"), L"\u0416\u20ac");
    EXPECT_FALSE(loaded.dir.exists(L"zolt_upd.ini"));

    // Neither pass finds an entry: the source still goes.
    loaded.dir.write(L"zolt_upd.ini", "nothing to merge\r\n");
    loaded.load();
    EXPECT_FALSE(loaded.dir.exists(L"zolt_upd.ini"));
    EXPECT_EQ(loaded.settingsText(), L"\uFEFF[General]\r\nkeep=1\r\nname=caf\u00c3\u00a9\r\n\r\n[Wide]\r\nname=\u0416\u20ac\r\n");
}

TEST(LoadSettings, LeavesUtf16FilesAloneAndConvertsTheRest)
{
    const std::string wide = std::string(MARK) + utf16(L"[A]\r\n   x = 1\r\n");
    const std::string ffOnly = std::string("\xFF\x41[A]\r\nx=1\r\n");
    const struct {
        const char* what;
        std::string before;
        std::string after;
    } table[] = {
        {"UTF-16 with its mark", wide, wide},
        {"first byte FF without FE", ffOnly, ffOnly},
        {"second byte FE", "\x41\xFE[A]\r\n", "\x41\xFE[A]\r\n"},
        {"empty file", "", MARK},  // converted, nothing merged, no rewrite
    };
    for (const auto& row : table) {
        Loaded loaded;
        loaded.dir.write(L"zolt.ini", row.before);
        loaded.load();
        EXPECT_EQ(loaded.result, RESULT_OK) << row.what;
        EXPECT_EQ(loaded.dir.read(L"zolt.ini"), row.after) << row.what;
        EXPECT_FALSE(loaded.dir.exists(L"zolt_tmp_ascii.ini")) << row.what;
    }
}

TEST(LoadSettings, RewritesLongLinesInPiecesAndKeepsEmptySections)
{
    Loaded loaded;
    std::wstring longValue(300, L'x');
    loaded.dir.write(L"zolt.ini", std::string(MARK) + utf16(L"[Top]\r\n\r\n[Next]\r\nkey=" + longValue + L"\r\n"));
    loaded.dir.write(L"zolt_upd.ini", "[Next]\r\nadded=1\r\n");
    loaded.load();
    std::wstring text = loaded.settingsText();
    // The 304-character line comes out as its first 254 characters, then the rest.
    std::wstring firstPiece = L"key=" + std::wstring(250, L'x');
    std::wstring secondPiece(50, L'x');
    EXPECT_NE(text.find(L"\uFEFF[Top]\r\n[Next]\r\n"), std::wstring::npos) << "two sections without an entry between";
    EXPECT_NE(text.find(firstPiece + L"\r\n" + secondPiece + L"\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"added=1\r\n"), std::wstring::npos);
}

TEST(LoadSettings, MergesDefaultsOnEveryStartWhileForced)
{
    Loaded loaded;
    loaded.dir.write(L"zolt.ini", "[special]\r\nforce_default_ini=1\r\n[General]\r\ncolour=red\r\n");
    loaded.dir.write(L"zolt_upd.ini", "[General]\r\ncolour=blue\r\n");
    // Forced, but no defaults: nothing is merged and the pending file stays.
    loaded.load();
    EXPECT_EQ(loaded.result, RESULT_OK);
    EXPECT_STREQ(readString(L"General", L"colour"), L"red");
    EXPECT_TRUE(loaded.dir.exists(L"zolt_upd.ini"));

    loaded.dir.write(L"zolt_default.ini", "[General]\r\ncolour=green\r\n");
    loaded.load();
    EXPECT_STREQ(readString(L"General", L"colour"), L"green");
    EXPECT_TRUE(loaded.dir.exists(L"zolt_default.ini"));
    EXPECT_TRUE(loaded.dir.exists(L"zolt_upd.ini"));

    writeInt(L"General", L"colour", 5);
    loaded.load();
    EXPECT_STREQ(readString(L"General", L"colour"), L"green");  // merged again on the next start
}

TEST(ReadAndWrite, GoToTheFileAtEachCall)
{
    Loaded loaded;
    loaded.dir.write(L"zolt.ini", "[General]\r\ntext=abc\r\nlead= 42x\r\nhex=0x10\r\nempty=\r\n");
    loaded.load();
    const struct {
        const wchar_t* key;
        int value;
    } ints[] = {{L"missing", -1}, {L"empty", -1}, {L"text", 0}, {L"lead", 42}, {L"hex", 16}};
    for (const auto& row : ints)
        EXPECT_EQ(readInt(L"General", row.key), row.value) << row.key;

    EXPECT_TRUE(writeInt(L"General", L"upgrade_never_ask", 1));
    EXPECT_EQ(readInt(L"General", L"upgrade_never_ask"), 1);
    EXPECT_TRUE(writeInt(L"General", L"upgrade_never_ask", -7));
    EXPECT_EQ(readInt(L"General", L"upgrade_never_ask"), -7);
    EXPECT_NE(loaded.settingsText().find(L"upgrade_never_ask=-7\r\n"), std::wstring::npos);

    // Values are cut at 255 characters.
    std::wstring longValue(300, L'v');
    WritePrivateProfileStringW(L"General", L"long", longValue.c_str(), settingsPath());
    EXPECT_EQ(wcslen(readString(L"General", L"long")), SETTINGS_TEXT_CAPACITY - 1);
}

TEST(ReadString, ResultsRotateThroughFiveBuffers)
{
    Loaded loaded;
    loaded.dir.write(L"zolt.ini", "[S]\r\na=1\r\nb=2\r\n");
    loaded.load();
    const wchar_t* first = readString(L"S", L"a");
    for (size_t call = 2; call <= SETTINGS_READ_BUFFERS; ++call)
        EXPECT_NE(readString(L"S", L"b"), first);
    const wchar_t* sixth = readString(L"S", L"b");
    EXPECT_EQ(sixth, first);
    EXPECT_STREQ(first, L"2");
}

TEST(ProxyAddress, IsBuiltFromSectionProxy)
{
    const struct {
        const char* settings;
        const wchar_t* expected;  // null: no proxy
    } table[] = {
        {"[proxy]\r\naddress=proxy.local\r\n", L"proxy.local:8080"},
        {"[proxy]\r\naddress=proxy.local\r\nport=0\r\n", L"proxy.local:0"},
        {"[proxy]\r\naddress=10.0.0.1\r\nport=3128\r\n", L"10.0.0.1:3128"},
        {"[proxy]\r\nport=3128\r\n", nullptr},
        {"[other]\r\nx=1\r\n", nullptr},
    };
    for (const auto& row : table) {
        Loaded loaded;
        loaded.dir.write(L"zolt.ini", row.settings);
        loaded.load();
        buildProxyAddress();
        if (row.expected)
            EXPECT_STREQ(proxyAddress(), row.expected) << row.settings;
        else
            EXPECT_EQ(proxyAddress(), nullptr) << row.settings;
    }

    // An address that leaves no room for the port would name another host: no proxy.
    Loaded loaded;
    loaded.dir.write(L"zolt.ini", std::string(MARK) + utf16(L"[proxy]\r\naddress=" + std::wstring(250, L'p') +
                                                            L"\r\nport=12345\r\n"));
    loaded.load();
    ASSERT_EQ(wcslen(readString(L"proxy", L"address")), 250u);
    buildProxyAddress();
    EXPECT_EQ(proxyAddress(), nullptr);
    writeInt(L"proxy", L"port", 1234);  // 250 + 5 characters: fits exactly
    buildProxyAddress();
    ASSERT_NE(proxyAddress(), nullptr);
    EXPECT_EQ(wcslen(proxyAddress()), 255u);
}

TEST(WriteRegistryString, WritesStringValuesUnderTheProductKey)
{
    EXPECT_EQ(writeRegistryString(L"UpdaterTest", L"BLOCK1", L""), RESULT_OK);
    EXPECT_EQ(writeRegistryString(L"UpdaterTest", L"BLOCK2", L"caf\u00e9"), RESULT_OK);
    wchar_t value[32] = L"unread";
    DWORD size = sizeof value;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\zolt\\UpdaterTest", L"BLOCK1", RRF_RT_REG_SZ,
                           nullptr, value, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(value, L"");
    size = sizeof value;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\zolt\\UpdaterTest", L"BLOCK2", RRF_RT_REG_SZ,
                           nullptr, value, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(value, L"caf\u00e9");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\zolt\\UpdaterTest");

    // The key path "SOFTWARE\zolt\" + section must stay under 512 characters.
    EXPECT_EQ(writeRegistryString(std::wstring(498, L's').c_str(), L"v", L""), RESULT_REGISTRY_PATH_TOO_LONG);
    EXPECT_NE(writeRegistryString(std::wstring(497, L's').c_str(), L"v", L""), RESULT_REGISTRY_PATH_TOO_LONG);
    EXPECT_EQ(writeRegistryString(nullptr, L"v", L""), RESULT_MISSING_ARGUMENT);
}

TEST(TextHelpers, TrimRemoveAndDuplicate)
{
    const struct {
        const wchar_t* before;
        const wchar_t* after;
    } trims[] = {
        {L"", L""},
        {L"  \t\r\n", L""},
        {L"\x01 a b \x1f", L"a b"},
        {L"\u00a0a\u00a0", L"\u00a0a\u00a0"},  // only codes up to 0x20 are trimmed
    };
    for (const auto& row : trims) {
        std::wstring text = row.before;
        trimText(&text[0]);
        EXPECT_STREQ(text.c_str(), row.after);
    }

    wchar_t brackets[] = L"[a]b[c]";
    EXPECT_EQ(removeChar(brackets, L'['), 2);
    EXPECT_STREQ(brackets, L"a]bc]");
    EXPECT_EQ(removeChar(brackets, L'x'), 0);
    EXPECT_EQ(removeChar(brackets, L'\0'), -1);
    EXPECT_EQ(removeChar(nullptr, L'a'), -1);

    wchar_t* copy = duplicateText(L"zolt.exe");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, L"zolt.exe");
    free(copy);
    EXPECT_EQ(duplicateText(nullptr), nullptr);
}

TEST(LoadSettings, LeavesSingleByteSettingsAloneWhenTheScratchCopyCannotBeMade)
{
    Loaded loaded;
    const std::string original = "[General]\r\nUpgradeLaunch=client.exe\r\n[universe]\r\nport=7000\r\n";
    loaded.dir.write(L"zolt.ini", original);
    ASSERT_TRUE(CreateDirectoryW(loaded.dir.file(L"zolt_tmp_merge.ini").c_str(), nullptr));
    loaded.load();
    EXPECT_EQ(loaded.result, RESULT_OK);
    EXPECT_EQ(loaded.dir.read(L"zolt.ini"), original);  // not truncated, not converted
    EXPECT_STREQ(readString(L"General", L"UpgradeLaunch"), L"client.exe");
    EXPECT_EQ(readInt(L"universe", L"port"), 7000);

    // Once the copy can be made, the next start converts the file.
    RemoveDirectoryW(loaded.dir.file(L"zolt_tmp_merge.ini").c_str());
    loaded.load();
    EXPECT_EQ(loaded.settingsText(), L"\uFEFF[General]\r\nUpgradeLaunch=client.exe\r\n\r\n[universe]\r\nport=7000\r\n");
}

TEST(LoadSettings, RecoversTheEntriesOfARewriteThatDied)
{
    const std::string copy = "[General]\r\nUpgradeLaunch=client.exe\r\n[universe]\r\nport=7000\r\n";
    const std::wstring clean = L"\uFEFF[General]\r\nUpgradeLaunch=client.exe\r\n\r\n[universe]\r\nport=7000\r\n";
    struct Row {
        const char* what;
        bool settingsFile;
        std::string settings;
    };
    const Row rows[] = {
        {"truncated to the mark", true, MARK},
        {"truncated to nothing", true, ""},
        {"only sections left", true, std::string(MARK) + utf16(L"[General]\r\n")},
        {"settings file gone", false, ""},
    };
    for (const Row& row : rows) {
        Loaded loaded;
        if (row.settingsFile)
            loaded.dir.write(L"zolt.ini", row.settings);
        loaded.dir.write(L"zolt_tmp_ascii.ini", copy);
        loaded.load();
        EXPECT_EQ(loaded.result, RESULT_OK) << row.what;
        EXPECT_STREQ(readString(L"General", L"UpgradeLaunch"), L"client.exe") << row.what;
        EXPECT_EQ(loaded.settingsText(), clean) << row.what;
        EXPECT_FALSE(loaded.dir.exists(L"zolt_tmp_ascii.ini")) << row.what;
    }

    // A settings file that holds entries of its own is whole: the stale copy brings nothing back.
    Loaded current;
    current.dir.write(L"zolt.ini", std::string(MARK) + utf16(L"[General]\r\nUpgradeLaunch=mine.exe\r\n"));
    current.dir.write(L"zolt_tmp_ascii.ini", copy);
    current.load();
    EXPECT_STREQ(readString(L"General", L"UpgradeLaunch"), L"mine.exe");
    EXPECT_EQ(readInt(L"universe", L"port"), -1);
    EXPECT_FALSE(current.dir.exists(L"zolt_tmp_ascii.ini"));

    // A UTF-16 copy goes back byte for byte: no character becomes "?", no line is dropped.
    const std::string wide = std::string(MARK) + utf16(L"[General]\r\nname=\u0416\u20ac\r\nno equals sign\r\n");
    current.dir.write(L"zolt.ini", "");
    current.dir.write(L"zolt_tmp_ascii.ini", wide);
    current.load();
    EXPECT_EQ(current.dir.read(L"zolt.ini"), wide);
}

TEST(LoadSettings, KeepsPendingSettingsThatCannotBeWritten)
{
    Loaded loaded;
    loaded.dir.write(L"zolt.ini", std::string(MARK) + utf16(L"[General]\r\nkeep=1\r\n"));
    const std::string pending = "[General]\r\nUpgradeLaunch=new.exe\r\n";
    loaded.dir.write(L"zolt_upd.ini", pending);
    // Another program holds the settings file open for reading only: every write fails.
    HANDLE holder = CreateFileW(loaded.dir.file(L"zolt.ini").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    loaded.load();
    EXPECT_EQ(loaded.result, RESULT_OK);
    EXPECT_STREQ(readString(L"General", L"UpgradeLaunch"), L"");
    EXPECT_EQ(loaded.dir.read(L"zolt_upd.ini"), pending);  // kept for the next start
    CloseHandle(holder);

    loaded.load();
    EXPECT_STREQ(readString(L"General", L"UpgradeLaunch"), L"new.exe");
    EXPECT_STREQ(readString(L"General", L"keep"), L"1");
    EXPECT_FALSE(loaded.dir.exists(L"zolt_upd.ini"));

    // A start that may not write reads the settings as they are.
    loaded.dir.write(L"zolt_upd.ini", "[General]\r\nUpgradeLaunch=newer.exe\r\n");
    EXPECT_EQ(loadSettings(loaded.dir.path().c_str(), L"\\zolt.ini", false), RESULT_OK);
    EXPECT_STREQ(readString(L"General", L"UpgradeLaunch"), L"new.exe");
    EXPECT_TRUE(loaded.dir.exists(L"zolt_upd.ini"));
}

// Runs under several code pages: CTest starts these tests again with other Wine locales.
TEST(AnsiCodePage, SingleByteSettingsAreReadInTheSystemCodePage)
{
    struct Sample {
        UINT codePage;
        std::string bytes;
        std::wstring text;
    };
    const Sample samples[] = {
        {1252, "caf\xE9 \x80", L"caf\u00e9 \u20ac"},
        {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", L"\u041f\u0440\u0438\u0432\u0435\u0442"},
        {932, "\x82\xA0\xB1x", L"\u3042\uff71x"},  // a double-byte character, then single ones
    };
    if (const char* expected = getenv("UPDATER_TEST_CODE_PAGE")) {
        ASSERT_EQ(GetACP(), static_cast<UINT>(atoi(expected))) << "the locale did not set the code page";
    }
    const Sample* sample = nullptr;
    for (const Sample& candidate : samples) {
        if (candidate.codePage == GetACP())
            sample = &candidate;
    }
    if (!sample)
        GTEST_SKIP() << "no sample text for code page " << GetACP();

    Loaded loaded;
    loaded.dir.write(L"zolt.ini", "[General]\r\nname=" + sample->bytes + "\r\n");
    loaded.dir.write(L"zolt_upd.ini", "[Pending]\r\nname=" + sample->bytes + "\r\n");
    loaded.load();
    EXPECT_EQ(std::wstring(readString(L"General", L"name")), sample->text);
    EXPECT_EQ(std::wstring(readString(L"Pending", L"name")), sample->text);

    // What the profile functions write into a new single-byte file survives the conversion.
    Loaded written;
    ASSERT_TRUE(WritePrivateProfileStringW(L"General", L"name", sample->text.c_str(),
                                           written.dir.file(L"zolt.ini").c_str()));
    ASSERT_NE(written.dir.read(L"zolt.ini").substr(0, 2), MARK);
    written.load();
    EXPECT_EQ(written.dir.read(L"zolt.ini").substr(0, 2), MARK);
    EXPECT_EQ(std::wstring(readString(L"General", L"name")), sample->text);
}

TEST(LoadSettings, KeepsEverySettingWhenAScratchFileIsHeldOrBlocked)
{
    const std::string original = "[Launch]\r\nExec=client.exe\r\n[General]\r\ncolour=red\r\n";
    const std::string pending = "[General]\r\nsize=9\r\n";
    // What stands in a scratch file's place while the settings are loaded.
    enum Blocker { HeldWithoutDeleteSharing, HeldForReadingOnly, AFolder, ReadOnlyLeftover };
    const struct {
        const char* what;
        const wchar_t* name;
        Blocker blocker;
    } rows[] = {
        {"earlier versions' copy held by a scanner", L"zolt_tmp_ascii.ini", HeldWithoutDeleteSharing},
        {"merge file held by a scanner", L"zolt_tmp_merge.ini", HeldWithoutDeleteSharing},
        {"new file held by an editor that shares only reading", L"zolt_tmp_new.ini", HeldForReadingOnly},
        {"a folder named as the new file", L"zolt_tmp_new.ini", AFolder},
        {"a read-only new file left behind", L"zolt_tmp_new.ini", ReadOnlyLeftover},
    };
    for (const auto& row : rows) {
        Loaded loaded;
        loaded.dir.write(L"zolt.ini", original);
        loaded.dir.write(L"zolt_upd.ini", pending);
        const std::wstring scratch = loaded.dir.file(row.name);
        HANDLE holder = INVALID_HANDLE_VALUE;
        if (row.blocker == HeldWithoutDeleteSharing || row.blocker == HeldForReadingOnly) {
            DWORD sharing = row.blocker == HeldWithoutDeleteSharing ? FILE_SHARE_READ | FILE_SHARE_WRITE
                                                                    : FILE_SHARE_READ;
            holder = CreateFileW(scratch.c_str(), GENERIC_READ, sharing, nullptr, CREATE_ALWAYS, 0, nullptr);
            ASSERT_NE(holder, INVALID_HANDLE_VALUE) << row.what;
        } else if (row.blocker == AFolder) {
            ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr)) << row.what;
        } else {
            loaded.dir.write(row.name, "");
            SetFileAttributesW(scratch.c_str(), FILE_ATTRIBUTE_READONLY);
        }
        loaded.load();
        EXPECT_EQ(loaded.result, RESULT_OK) << row.what;
        // Replaced whole with the pending entry, or left as it was with the pending file kept.
        EXPECT_STREQ(readString(L"Launch", L"Exec"), L"client.exe") << row.what;
        EXPECT_STREQ(readString(L"General", L"colour"), L"red") << row.what;
        if (loaded.dir.exists(L"zolt_upd.ini"))
            EXPECT_EQ(loaded.dir.read(L"zolt.ini"), original) << row.what;
        else
            EXPECT_STREQ(readString(L"General", L"size"), L"9") << row.what;

        // The client deletes a key: nothing left beside the settings brings it back.
        WritePrivateProfileStringW(L"General", L"colour", nullptr, settingsPath());
        loaded.load();
        EXPECT_STREQ(readString(L"General", L"colour"), L"") << row.what;

        // Once the way is free, the next start applies what is pending and clears the leftover away.
        if (holder != INVALID_HANDLE_VALUE)
            CloseHandle(holder);
        if (row.blocker == AFolder)
            RemoveDirectoryW(scratch.c_str());
        loaded.load();
        EXPECT_EQ(loaded.dir.read(L"zolt.ini").substr(0, 2), MARK) << row.what;
        EXPECT_STREQ(readString(L"General", L"size"), L"9") << row.what;
        EXPECT_STREQ(readString(L"General", L"colour"), L"") << row.what;
        EXPECT_FALSE(loaded.dir.exists(L"zolt_upd.ini")) << row.what;
        EXPECT_FALSE(loaded.dir.exists(row.name)) << row.what;
        EXPECT_EQ(GetFileAttributesW(loaded.dir.file(L"zolt.ini").c_str()) & FILE_ATTRIBUTE_READONLY, 0u) << row.what;
    }
}

TEST(LoadSettings, RecoversARewriteThatKeptSomeOfItsEntries)
{
    // A settings file long enough that a rewrite can be cut after its first buffer.
    std::wstring full = L"\uFEFF[Launch]\r\nExec=client.exe\r\n\r\n[General]\r\n";
    for (int i = 0; i < 200; ++i)
        full += L"key" + std::to_wstring(i) + L"=value number " + std::to_wstring(i) + L"\r\n";
    const std::string copy = utf16(full);
    ASSERT_GT(copy.size(), 8192u);
    const std::string messy =
        utf16(L"\uFEFF  [Launch]\r\n\r\n  Exec=client.exe \r\n\r\n\r\n" + full.substr(full.find(L"[General]")));
    const struct {
        const char* what;
        std::string copy;      // the scratch copy the rewrite started from
        std::string settings;  // what reached the settings file
    } rows[] = {
        {"cut after the first buffer", copy, copy.substr(0, 4096)},
        {"cut inside a character", copy, copy.substr(0, 4097)},
        {"cut while the copy was put back", copy, copy.substr(0, 6000)},
        {"cut rewrite of a copy not yet in clean layout", messy, copy.substr(0, 4096)},
        {"rewrite finished, copy not deleted", copy, copy},
    };
    for (const auto& row : rows) {
        Loaded loaded;
        loaded.dir.write(L"zolt.ini", row.settings);
        loaded.dir.write(L"zolt_tmp_ascii.ini", row.copy);
        loaded.load();
        EXPECT_EQ(loaded.result, RESULT_OK) << row.what;
        EXPECT_TRUE(loaded.dir.read(L"zolt.ini") == row.copy) << row.what << ": not the copy, byte for byte";
        EXPECT_FALSE(loaded.dir.exists(L"zolt_tmp_ascii.ini")) << row.what;
    }

    // The client wrote into the cut file before this start: the file is its own, whole, and the
    // copy brings nothing back into it.
    Loaded changed;
    changed.dir.write(L"zolt.ini", std::string(MARK) + utf16(L"[Launch]\r\nExec=other.exe\r\n\r\n[General]\r\n"
                                                             L"key0=mine\r\nadded=1\r\nkey1=value num\r\n"));
    changed.dir.write(L"zolt_tmp_ascii.ini", copy);
    changed.load();
    EXPECT_STREQ(readString(L"Launch", L"Exec"), L"other.exe");
    EXPECT_STREQ(readString(L"General", L"key0"), L"mine");
    EXPECT_STREQ(readString(L"General", L"added"), L"1");
    EXPECT_STREQ(readString(L"General", L"key199"), L"");
    EXPECT_FALSE(changed.dir.exists(L"zolt_tmp_ascii.ini"));

    // A complete settings file beside a stale single-byte copy keeps its values.
    Loaded stale;
    stale.dir.write(L"zolt.ini", std::string(MARK) + utf16(L"[Launch]\r\nExec=new.exe\r\n"));
    stale.dir.write(L"zolt_tmp_ascii.ini", "[Launch]\r\nExec=old.exe\r\n");
    stale.load();
    EXPECT_STREQ(readString(L"Launch", L"Exec"), L"new.exe");
    EXPECT_EQ(stale.settingsText(), L"\uFEFF[Launch]\r\nExec=new.exe\r\n");
    EXPECT_FALSE(stale.dir.exists(L"zolt_tmp_ascii.ini"));
}

TEST(LoadSettings, KeepsTheScratchCopyUntilEveryEntryIsBack)
{
    // The rewrite died before its first buffer reached the disk, and another program now holds
    // the settings file for reading only: nothing can be written back during this start.
    const std::string copy = "[Launch]\r\nExec=client.exe\r\n[General]\r\ncolour=red\r\n";
    Loaded loaded;
    loaded.dir.write(L"zolt.ini", "");
    loaded.dir.write(L"zolt_tmp_ascii.ini", copy);
    HANDLE holder = CreateFileW(loaded.dir.file(L"zolt.ini").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    loaded.load();
    EXPECT_EQ(loaded.result, RESULT_OK);
    EXPECT_EQ(loaded.dir.read(L"zolt_tmp_ascii.ini"), copy);  // still the only copy of the entries
    CloseHandle(holder);

    loaded.load();
    EXPECT_STREQ(readString(L"Launch", L"Exec"), L"client.exe");
    EXPECT_EQ(loaded.settingsText(), L"\uFEFF[Launch]\r\nExec=client.exe\r\n\r\n[General]\r\ncolour=red\r\n");
    EXPECT_FALSE(loaded.dir.exists(L"zolt_tmp_ascii.ini"));
}
