// The test bed's own helpers, which every end-to-end test relies on.
#include "box_answerer.h"
#include "processes.h"
#include "temp_install_dir.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

TEST(Testbed, LimitedStartsRunWithoutElevation)
{
    TempInstallDir dir;
    std::wstring client = installProgram(L"fake_client.exe", dir.path(), L"zolt.exe");
    StartedProcess limited = startLimited(L"\"" + client + L"\" --stay 3000");
    ASSERT_TRUE(limited);
    int elevated = 0;
    int type = 0;
    readElevation(limited.process, &elevated, &type);
    EXPECT_EQ(elevated, 0);
    EXPECT_EQ(type, static_cast<int>(TokenElevationTypeLimited));
    TerminateProcess(limited.process, 0);
    limited.wait(5000);

    // The command line reaches the program exactly as written.
    StartedProcess exact = startLimited(L"\"" + client + L"\"  a  \"b c\"");
    ASSERT_TRUE(exact);
    DWORD code = 1;
    ASSERT_TRUE(exact.wait(10000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(dir.read(L"zolt.exe.starts"), utf8(L"\"" + client + L"\"  a  \"b c\"\n"));
}

TEST(Testbed, BoxAnswererReadsAndAnswersBoxes)
{
    const struct {
        UINT style;
        UINT icon;
        UINT buttons;
        int answer;
        bool topmost;
    } table[] = {
        {MB_ICONERROR | MB_SYSTEMMODAL, MB_ICONERROR, MB_OK, IDOK, true},
        {MB_ICONWARNING | MB_YESNOCANCEL, MB_ICONWARNING, MB_YESNOCANCEL, IDNO, false},
        {MB_ICONINFORMATION | MB_YESNO, MB_ICONINFORMATION, MB_YESNO, IDYES, false},
        {MB_ICONQUESTION | MB_OKCANCEL, MB_ICONQUESTION, MB_OKCANCEL, IDCANCEL, false},
    };
    for (const auto& row : table) {
        int result = 0;
        std::thread shower([&] { result = MessageBoxW(nullptr, L"First line\nsecond line", L"Caption", row.style); });
        SeenBox seen;
        bool answered = answerNextBox(GetCurrentProcessId(), row.answer, 10000, &seen);
        shower.join();
        ASSERT_TRUE(answered) << "style " << row.style;
        EXPECT_EQ(result, row.answer) << "style " << row.style;
        EXPECT_EQ(seen.caption, L"Caption");
        EXPECT_EQ(seen.text, L"First line\nsecond line");
        EXPECT_EQ(seen.icon, row.icon) << "style " << row.style;
        EXPECT_EQ(seen.buttons, row.buttons) << "style " << row.style;
        EXPECT_EQ(seen.topmost, row.topmost) << "style " << row.style;
    }
    EXPECT_FALSE(answerNextBox(GetCurrentProcessId(), IDOK, 300, nullptr));  // none comes
}

TEST(Testbed, ScratchDirectoriesGoWithEverythingInThem)
{
    wchar_t before[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, before);
    std::wstring path;
    {
        TempInstallDir dir;
        path = dir.path();
        wchar_t current[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, current);
        EXPECT_EQ(path, current);
        CreateDirectoryW(dir.file(L"cache").c_str(), nullptr);
        CreateDirectoryW(dir.file(L"cache\\deep").c_str(), nullptr);
        dir.write(L"cache\\deep\\.hidden", "x");
        dir.write(L"readonly.txt", "x");
        SetFileAttributesW(dir.file(L"readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        SetFileAttributesW(dir.file(L"cache").c_str(), FILE_ATTRIBUTE_READONLY);
    }
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    wchar_t after[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, after);
    EXPECT_STREQ(after, before);
}

TEST(Testbed, UiProbeReportsAndAnswersByItsScript)
{
    TempInstallDir dir;
    std::wstring client = installProgram(L"fake_client.exe", dir.path(), L"zolt.exe");
    StartedProcess zolt = startPlain(L"\"" + client + L"\" --stay 120000");
    std::wstring runner = installProgram(L"guard_runner.exe", dir.path(), L"guard_runner.exe");
    StartedProcess guard = startPlain(L"\"" + runner + L"\" 1 0", dir.path());
    ASSERT_TRUE(guard);
    std::wstring probe = programDirectory() + L"\\ui_probe.exe";
    StartedProcess watcher = startPlain(L"\"" + probe + L"\" --pid " + std::to_wstring(guard.id) + L" --report " +
                                        dir.file(L"report.txt") + L" --answers terminate=no,=yes");
    ASSERT_TRUE(watcher);
    DWORD code = 99;
    ASSERT_TRUE(guard.wait(60000, &code));
    ASSERT_TRUE(watcher.wait(10000));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(dir.exists(L"guard_runner.exe.returned"));
    EXPECT_TRUE(zolt.wait(5000));  // terminated by the second answer

    std::string report = dir.read(L"report.txt");
    std::vector<std::string> boxes;
    for (size_t at = report.find(" box "); at != std::string::npos; at = report.find(" box ", at + 1))
        boxes.push_back(report.substr(at, report.find('\n', at) - at));
    ASSERT_EQ(boxes.size(), 2u) << report;
    EXPECT_NE(boxes[0].find("caption=\"Update\""), std::string::npos) << boxes[0];
    EXPECT_NE(boxes[0].find("text=\"Waiting for other processes to exit...\\nDo you want"), std::string::npos);
    EXPECT_NE(boxes[0].find("icon=question buttons=yesnocancel topmost=1 answer=no"), std::string::npos) << boxes[0];
    EXPECT_NE(boxes[1].find("answer=yes"), std::string::npos) << boxes[1];
    EXPECT_NE(report.find(" exit code=0\n"), std::string::npos) << report;
}
