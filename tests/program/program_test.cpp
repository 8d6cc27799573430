// Black-box runs of updater.exe: copied into a scratch install directory, started as a
// Windows shell starts it, its boxes read and answered as a user would.
#include "box_answerer.h"
#include "processes.h"
#include "temp_install_dir.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

constexpr DWORD RUN_TIMEOUT_MS = 30000;

struct ProgramRun {
    DWORD exitCode = 0xDEAD;
    bool ended = false;
    bool startedOthers = false;  // a program from the install directory ran after it ended
    std::vector<SeenBox> boxes;
};

// Starts updater.exe in dir with the given arguments (exact text after the quoted path) and
// answers every box with OK until it ends.
ProgramRun runUpdater(const TempInstallDir& dir, const std::wstring& arguments)
{
    std::wstring exe = installProgram(L"updater.exe", dir.path(), L"updater.exe");
    std::wstring line = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    StartedProcess process = startLimited(line, dir.path());
    EXPECT_TRUE(process) << "updater.exe did not start";
    ProgramRun run;
    if (!process)
        return run;
    BoxAnswerer answerer(process.id, {IDOK});
    run.ended = process.wait(RUN_TIMEOUT_MS, &run.exitCode);
    run.boxes = answerer.finish();
    if (!run.ended)
        TerminateProcess(process.process, 1);
    // A copy it started (the launcher mode's) is seen, then stopped before the folder goes.
    for (int waited = 0; waited < 40 && !run.startedOthers; ++waited, Sleep(50))
        run.startedOthers = !processesRunningFrom(dir.path()).empty();
    (void)waitForProcessesFrom(dir.path(), 1000);
    return run;
}

std::wstring loadString(HMODULE module, UINT id)
{
    wchar_t text[512] = L"";
    LoadStringW(module, id, text, 512);
    return text;
}

}  // namespace

TEST(UpdaterProgram, CarriesItsStringTableIconVersionAndManifest)
{
    std::wstring exe = programDirectory() + L"\\updater.exe";
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    const wchar_t* strings[] = {
        L"Update",
        L"Searching...",
        L"Unable to receive update (reason %d) after 10 attempts. Check the internet connection.",
        L"Provided parameters are incorrect.",
        L"Sorry, there is no download available for this version.",
        L"Unable to locate zolt.ini",
        L"Still unable to connect to network (reason %d) after 10 attempts. Check the internet connection.",
        L"receiving response",
        L"%d of %d",
        L"The download has timed out.  Please try again later.",
        L"starting",
    };
    for (UINT id = 1; id <= 11; ++id)
        EXPECT_EQ(loadString(module, id), strings[id - 1]) << "string " << id;
    EXPECT_NE(FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(1), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
              nullptr);
    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON), nullptr);

    HRSRC manifestResource = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(manifestResource, nullptr);
    const char* manifest = static_cast<const char*>(LockResource(LoadResource(module, manifestResource)));
    std::string text(manifest, SizeofResource(module, manifestResource));
    EXPECT_NE(text.find("requestedExecutionLevel level=\"asInvoker\""), std::string::npos);
    for (const char* os : {"35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                           "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
        EXPECT_NE(text.find(os), std::string::npos) << os;
    FreeLibrary(module);

    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), 1u);
    wchar_t* name = nullptr;
    UINT nameSize = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\OriginalFilename",
                               reinterpret_cast<void**>(&name), &nameSize));
    EXPECT_STREQ(name, L"updater.exe");
}

TEST(UpdaterProgram, WithoutSettingsSaysSoAndEnds)
{
    TempInstallDir dir;
    ProgramRun run = runUpdater(dir, L"https://update.test.example upgrade/kit.rtp \"zolt.exe\"");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].caption, L"Update");
    EXPECT_EQ(run.boxes[0].text, L"Unable to locate zolt.ini");
    EXPECT_EQ(run.boxes[0].icon, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(run.boxes[0].buttons, static_cast<UINT>(MB_OK));
    EXPECT_TRUE(run.boxes[0].topmost);  // system-modal
    EXPECT_FALSE(run.boxes[0].owned);   // no window exists yet
    EXPECT_FALSE(dir.exists(L"zolt.ini"));
}

TEST(UpdaterProgram, MakesItsSettingsFromPendingOnes)
{
    TempInstallDir dir;
    dir.write(L"zolt_upd.ini", "[universe]\r\nhost=10.9.8.7\r\n");
    ProgramRun run = runUpdater(dir, L"");  // launcher mode
    ASSERT_TRUE(run.ended);
    EXPECT_TRUE(run.startedOthers);  // the second copy, in update mode
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_FALSE(dir.exists(L"zolt_upd.ini"));
    std::string settings = dir.read(L"zolt.ini");
    std::string expected = "\xFF\xFE";
    for (char c : std::string("[universe]\r\nhost=10.9.8.7\r\n")) {
        expected += c;
        expected += '\0';
    }
    EXPECT_EQ(settings, expected);
}

TEST(UpdaterProgram, UninstallDoesNotNeedTheSettings)
{
    TempInstallDir dir;
    ProgramRun run = runUpdater(dir, L"--x-uninstall-y");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.boxes.empty());  // no "Unable to locate zolt.ini"
}

TEST(UpdaterProgram, TwoStartsAtOnceKeepEverySetting)
{
    std::string settings = "[Launch]\r\nExec=client.exe\r\n[client]\r\n";
    for (int key = 0; key < 120; ++key)
        settings += "key" + std::to_string(key) + "=the value of setting number " + std::to_string(key) + ", long enough for a file of 8 KB\r\n";
    settings += "[universe]\r\nhost=10.9.8.7\r\n";
    ASSERT_GT(settings.size(), 8192u);
    for (int round = 0; round < 10; ++round) {
        TempInstallDir dir;
        dir.write(L"zolt.ini", settings);
        dir.write(L"zolt_upd.ini", "[General]\r\nadded=1\r\n");
        // Both load the settings, then end at the missing arguments.
        std::wstring line = L"\"" + installProgram(L"updater.exe", dir.path(), L"updater.exe") + L"\" x";
        StartedProcess first = startLimited(line, dir.path());
        StartedProcess second = startLimited(line, dir.path());
        BoxAnswerer firstAnswerer(first.id, {IDOK});
        BoxAnswerer secondAnswerer(second.id, {IDOK});
        EXPECT_TRUE(first.wait(RUN_TIMEOUT_MS) && second.wait(RUN_TIMEOUT_MS));
        const std::wstring path = dir.file(L"zolt.ini");
        wchar_t value[128];
        for (int key = 0; key < 120; ++key) {
            GetPrivateProfileStringW(L"client", (L"key" + std::to_wstring(key)).c_str(), L"", value, 128, path.c_str());
            EXPECT_EQ(value, L"the value of setting number " + std::to_wstring(key) + L", long enough for a file of 8 KB") << "round " << round;
        }
        const wchar_t* others[][2] = {{L"Launch", L"Exec"}, {L"universe", L"host"}, {L"General", L"added"}};
        for (const auto& key : others) {
            GetPrivateProfileStringW(key[0], key[1], L"", value, 128, path.c_str());
            EXPECT_NE(value[0], L'\0') << "round " << round << ": " << utf8(key[1]);
        }
    }
}
