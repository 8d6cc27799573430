// Whole update runs of updater.exe: an install directory with its zolt.ini and a stand-in
// client, the test bed's update server, and the UI probe watching the window and answering
// the boxes as a user would.
#include "box_answerer.h"
#include "process_guard.h"
#include "processes.h"
#include "temp_install_dir.h"
#include "test_archives.h"
#include "test_server.h"
#include "ui_probe.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr DWORD RUN_LIMIT_MS = 150000;
const std::string NO_DOWNLOAD = "Sorry, there is no download available for this version.";

std::string unique(const std::string& what)
{
    static unsigned counter;
    return what + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
}

std::wstring wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

struct Report {
    DWORD exitCode = 0xDEAD;
    bool ended = false;
    std::vector<std::string> lines;

    std::vector<std::string> boxes() const { return matching(" box "); }
    std::vector<std::string> matching(const std::string& text) const
    {
        std::vector<std::string> found;
        for (const std::string& line : lines) {
            if (line.find(text) != std::string::npos)
                found.push_back(line);
        }
        return found;
    }
    bool showed(const std::string& text) const { return !matching(text).empty(); }
};

struct Install {
    TempInstallDir dir;
    std::wstring updater;
    std::string tag = unique("run");

    explicit Install(const std::string& settings = "[Launch]\r\nExec=zolt\r\n")
    {
        dir.write(L"zolt.ini", settings);
        updater = installProgram(L"updater.exe", dir.path(), L"updater.exe");
        installProgram(L"fake_client.exe", dir.path(), L"zolt.exe");
    }

    // Serves a test archive under a name of its own; returns the path after the base URL.
    std::wstring serve(const std::wstring& archive, const std::string& query = "")
    {
        std::wstring name = L"kitfull-" + wide(tag) + L".rtp";
        CopyFileW(testArchive(archive).c_str(), (testServer().files + L"\\" + name).c_str(), FALSE);
        return L"files/" + name + L"?tag=" + wide(tag) + (query.empty() ? L"" : L"&" + wide(query));
    }

    std::wstring base() const { return L"http://127.0.0.1:" + std::to_wstring(testServer().http); }

    // Runs updater.exe with the exact text after its quoted path, as a Windows shell starts it
    // (limited token) unless elevated, watched and answered by the UI probe.
    Report run(const std::wstring& arguments, const std::wstring& answers = L"", bool elevated = false,
               DWORD limitMs = RUN_LIMIT_MS)
    {
        std::wstring line = L"\"" + updater + L"\" " + arguments;
        StartedProcess process = elevated ? startPlain(line, dir.path()) : startLimited(line, dir.path());
        Report report;
        EXPECT_TRUE(process);
        if (!process)
            return report;
        std::wstring reportFile = dir.path() + L"-probe.txt";
        DeleteFileW(reportFile.c_str());
        StartedProcess probe = startPlain(L"\"" + programDirectory() + L"\\ui_probe.exe\" --pid " +
                                          std::to_wstring(process.id) + L" --report " + reportFile +
                                          (answers.empty() ? L"" : L" --answers " + answers));
        report.ended = process.wait(limitMs, &report.exitCode);
        if (!report.ended)
            TerminateProcess(process.process, 1);
        probe.wait(10000);
        std::string text = readFileBytes(reportFile);
        DeleteFileW(reportFile.c_str());
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find('\n', start);
            report.lines.push_back(text.substr(start, end - start));
            start = end == std::string::npos ? text.size() : end + 1;
        }
        waitForProcessesFrom(dir.path(), 10000);  // a restarted client, for one
        return report;
    }

    std::wstring setting(const wchar_t* section, const wchar_t* key) const
    {
        wchar_t value[256] = L"";
        GetPrivateProfileStringW(section, key, L"<absent>", value, 256, dir.file(L"zolt.ini").c_str());
        return value;
    }

    size_t requests() const { return testServer().requests(tag).size(); }
};

// A program outside the install directory that holds a file open for a while; others may
// still read the file, but not delete or write it. Ended, if still running, when it goes.
struct FileHolder {
    TempInstallDir place;
    StartedProcess process;

    FileHolder(const std::wstring& path, DWORD stayMs)
    {
        std::wstring holder = installProgram(L"fake_client.exe", place.path(), L"holder.exe");
        process = startPlain(L"\"" + holder + L"\" --hold " + path + L" --stay " + std::to_wstring(stayMs));
        for (int waited = 0; waited < 100 && place.read(L"holder.exe.holding").empty(); ++waited)
            Sleep(50);
    }
    ~FileHolder()
    {
        if (!process.wait(0))
            TerminateProcess(process.process, 0);
        process.wait(5000);
    }
    bool holding() const { return place.read(L"holder.exe.holding") == "held\n"; }
};

std::string boxText(const std::string& text)
{
    std::string escaped;
    for (char c : text)
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    return "caption=\"Update\" text=\"" + escaped + "\"";
}

}  // namespace

TEST(UpdateRun, InstallsAFullKitAndRestartsTheClient)
{
    Install install;
    CreateDirectoryW(install.dir.file(L"cache").c_str(), nullptr);
    install.dir.write(L"cache\\old.dat", "stale");
    install.dir.write(L"a.txt", "version 1");
    install.dir.write(L"upgrade.rtp", "an archive left by an earlier run");
    std::wstring path = install.serve(L"lzma2.7z", "rate=4000");
    Report report = install.run(install.base() + L" " + path + L" \"zolt.exe\"");
    ASSERT_TRUE(report.ended);
    EXPECT_EQ(report.exitCode, 0u);
    EXPECT_TRUE(report.boxes().empty()) << (report.boxes().empty() ? "" : report.boxes()[0]);
    EXPECT_FALSE(install.dir.exists(L"cache"));
    EXPECT_EQ(install.dir.read(L"a.txt"), treeFile(L"a.txt"));
    EXPECT_EQ(install.dir.read(L"big\\one.bin"), treeFile(L"big/one.bin"));
    EXPECT_FALSE(install.dir.exists(L"upgrade.rtp"));
    EXPECT_EQ(install.dir.read(L"zolt.exe.starts"), utf8(L"\"" + install.dir.path() + L"\\zolt.exe\"\n"));
    EXPECT_TRUE(report.showed("title=\"Update\" topmost=1 x=100 y=100 w=510 h=190"));
    EXPECT_TRUE(report.showed("status=\"Receiving 0.01 MB\""));  // the archive's length, announced
    EXPECT_TRUE(report.showed("bar=1000"));
    EXPECT_TRUE(report.showed("status=\"Installing files\""));
    std::string log = install.dir.read(L"upgrade.log");
    EXPECT_NE(log.find("Everything is Ok\r\n"), std::string::npos);
    EXPECT_EQ(install.setting(L"General", L"upgrade_never_ask"), L"<absent>");
}

TEST(UpdateRun, RecoversFromAConnectionCutAfterSomeData)
{
    Install install;
    std::wstring path = install.serve(L"lzma2.7z", "cutonce=5000");
    Report report = install.run(install.base() + L" " + path + L" x");
    ASSERT_TRUE(report.ended);
    EXPECT_TRUE(report.boxes().empty());
    EXPECT_TRUE(report.showed("status=\"Download not found - reconnecting to server ...\""));
    EXPECT_EQ(install.requests(), 2u);
    EXPECT_EQ(install.dir.read(L"big\\two.bin"), treeFile(L"big/two.bin"));
}

TEST(UpdateRun, GivesUpAfterTenReconnects)
{
    const struct {
        std::wstring path;  // empty: a port nobody listens on
        std::string box;
        std::string reconnectText;
    } table[] = {
        {L"status/404", NO_DOWNLOAD, "Download not found - reconnecting to server ..."},
        {L"", "Unable to receive update (reason 15) after 10 attempts. Check the internet connection.",
         "A connection failure (15) occured - reconnecting to server ..."},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.box);
        Install install("[General]\r\nupgrade_never_ask=1\r\nupgrade_do_not_ask=1\r\n");
        std::wstring base = row.path.empty() ? L"http://127.0.0.1:" + std::to_wstring(testServer().closed)
                                             : install.base();
        DWORD start = GetTickCount();
        Report report = install.run(base + L" " + row.path + L"?tag=" + wide(install.tag) + L" x");
        EXPECT_GE(GetTickCount() - start, 10u * 4800u);  // ten reconnect waits
        ASSERT_TRUE(report.ended);
        EXPECT_EQ(report.exitCode, 0u);
        std::vector<std::string> boxes = report.boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_NE(boxes[0].find(boxText(row.box)), std::string::npos) << boxes[0];
        EXPECT_NE(boxes[0].find("icon=error buttons=ok"), std::string::npos) << boxes[0];
        if (!row.path.empty()) {
            EXPECT_TRUE(report.showed("status=\"" + row.reconnectText + "\""));
            EXPECT_EQ(install.requests(), 11u);  // the first try and ten reconnects
        }
        EXPECT_EQ(install.setting(L"General", L"upgrade_never_ask"), L"0");
        EXPECT_EQ(install.setting(L"General", L"upgrade_do_not_ask"), L"0");
        EXPECT_EQ(install.setting(L"General", L"upgrade_never_ask_tmp"), L"1");
    }
}

TEST(UpdateRun, GivesUpOnATransferThatKeepsStalling)
{
    // Every try stalls after a few bytes; the sweep ends each after 30 s. About six minutes.
    Install install;
    std::wstring path = install.serve(L"lzma2.7z", "stall=100&stallsecs=40");
    Report report = install.run(install.base() + L" " + path + L" x", L"", false, 500000);
    ASSERT_TRUE(report.ended);
    std::vector<std::string> boxes = report.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find(boxText("The download has timed out.  Please try again later.")), std::string::npos)
        << boxes[0];
    EXPECT_TRUE(report.showed("status=\"Download timed out - reconnecting to server ...\""));
    EXPECT_EQ(install.requests(), 11u);
    EXPECT_EQ(install.setting(L"General", L"upgrade_never_ask"), L"0");
    EXPECT_FALSE(install.dir.exists(L"a.txt"));
}

TEST(UpdateRun, ADamagedArchiveShowsBothFailures)
{
    Install install;
    std::wstring path = install.serve(L"crc.7z");
    Report report = install.run(install.base() + L" " + path + L" x");
    ASSERT_TRUE(report.ended);
    std::vector<std::string> boxes = report.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes[0].find("text=\"A checksum error occurred in the archive"), std::string::npos) << boxes[0];
    EXPECT_NE(boxes[1].find(boxText("Installation failed.\nCould not decompress the downloaded archive.")),
              std::string::npos)
        << boxes[1];
    EXPECT_FALSE(install.dir.exists(L"upgrade.rtp"));
    EXPECT_EQ(install.setting(L"General", L"upgrade_never_ask"), L"<absent>");  // untouched
    EXPECT_FALSE(install.dir.exists(L"zolt.exe.starts"));                      // no restart
}

TEST(UpdateRun, AsksAboutARunningClient)
{
    // Yes terminates it and the update goes on.
    {
        Install install;
        StartedProcess client = startPlain(L"\"" + install.dir.file(L"zolt.exe") + L"\" --stay 300000");
        std::wstring path = install.serve(L"lzma2.7z");
        Report report = install.run(install.base() + L" " + path + L" x", L"terminate=yes");
        ASSERT_TRUE(report.ended);
        std::vector<std::string> boxes = report.boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_NE(boxes[0].find("icon=question buttons=yesnocancel"), std::string::npos) << boxes[0];
        EXPECT_TRUE(client.wait(0));
        EXPECT_EQ(install.dir.read(L"a.txt"), treeFile(L"a.txt"));
    }
    // No keeps waiting: the update goes on once the client has ended by itself.
    {
        Install install;
        StartedProcess client = startPlain(L"\"" + install.dir.file(L"zolt.exe") + L"\" --stay 18000");
        std::wstring path = install.serve(L"lzma2.7z");
        Report report = install.run(install.base() + L" " + path + L" x", L"terminate=no");
        ASSERT_TRUE(report.ended);
        std::vector<std::string> boxes = report.boxes();
        ASSERT_GE(boxes.size(), 1u);
        EXPECT_NE(boxes[0].find("answer=no"), std::string::npos) << boxes[0];
        DWORD code = 99;
        EXPECT_TRUE(client.wait(0, &code));
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(install.dir.read(L"a.txt"), treeFile(L"a.txt"));
    }
    // Cancel ends the run before anything is downloaded.
    {
        Install install;
        StartedProcess client = startPlain(L"\"" + install.dir.file(L"zolt.exe") + L"\" --stay 300000");
        std::wstring path = install.serve(L"lzma2.7z");
        Report report = install.run(install.base() + L" " + path + L" x", L"=cancel");
        ASSERT_TRUE(report.ended);
        EXPECT_EQ(report.exitCode, 0u);
        EXPECT_EQ(report.boxes().size(), 1u);
        EXPECT_EQ(install.requests(), 0u);
        EXPECT_FALSE(install.dir.exists(L"a.txt"));
        TerminateProcess(client.process, 0);
    }
}

TEST(UpdateRun, RefusesRunsItCannotDo)
{
    const struct {
        std::wstring arguments;
        bool elevated;
        std::string box;
    } table[] = {
        {L"http://127.0.0.1/ only-one-blank", false, boxText("Provided parameters are incorrect.")},
        {L"http://127.0.0.1/ a b", true,
         "caption=\"System\" text=\"You are running the application as Windows Administrator.\\nPlease refrain "
         "from updating or installing using elevated Windows User privileges.\\n\\nThe update will quit now.\\n\""},
    };
    for (const auto& row : table) {
        Install install;
        Report report = install.run(row.arguments, L"", row.elevated);
        ASSERT_TRUE(report.ended);
        EXPECT_EQ(report.exitCode, 0u);
        std::vector<std::string> boxes = report.boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_NE(boxes[0].find(row.box), std::string::npos) << boxes[0];
    }
}

TEST(UpdateRun, SaysWhenTheClientCannotBeRestarted)
{
    Install install("[Launch]\r\nExec=missing\r\n");
    std::wstring path = install.serve(L"lzma2.7z");
    Report report = install.run(install.base() + L" " + path + L" x");
    ASSERT_TRUE(report.ended);
    std::vector<std::string> boxes = report.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("Failed to restart application.\\n"), std::string::npos) << boxes[0];
    EXPECT_NE(boxes[0].find("missing.exe"), std::string::npos) << boxes[0];
    EXPECT_EQ(install.setting(L"General", L"upgrade_never_ask"), L"0");
    EXPECT_EQ(install.setting(L"General", L"upgrade_do_not_ask"), L"0");
    EXPECT_EQ(install.dir.read(L"a.txt"), treeFile(L"a.txt"));  // the files were installed
}

TEST(UpdateRun, OneUpdaterAtATime)
{
    Install install;
    std::wstring slow = install.serve(L"lzma2.7z", "stall=100&stallsecs=40");
    StartedProcess first = startLimited(L"\"" + install.updater + L"\" " + install.base() + L" " + slow + L" x",
                                        install.dir.path());
    Sleep(2000);
    Report report = install.run(install.base() + L" " + slow + L"&second=1 x");
    ASSERT_TRUE(report.ended);
    std::vector<std::string> boxes = report.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find(boxText("Another instance of the updater is running already.\nWill exit now.")),
              std::string::npos)
        << boxes[0];
    TerminateProcess(first.process, 0);
    first.wait(5000);
}

TEST(UpdateRun, TheClaimOfTheInstallDecidesUnderEverySpellingOfItsPath)
{
    Install install;
    // This test program, no updater, holds the claim through the folder's short name.
    wchar_t shortName[MAX_PATH] = L"";
    ASSERT_GT(GetShortPathNameW(install.dir.path().c_str(), shortName, MAX_PATH), 0u);
    ASSERT_NE(install.dir.path(), shortName);
    ASSERT_TRUE(claimUpdaterRun(shortName));
    Report report = install.run(install.base() + L" " + install.serve(L"lzma2.7z") + L" x");
    ASSERT_TRUE(report.ended);
    ASSERT_EQ(report.boxes().size(), 1u);
    EXPECT_TRUE(report.showed(boxText("Another instance of the updater is running already.\nWill exit now.")));
    EXPECT_EQ(install.requests(), 0u);
}

TEST(UpdateRun, OfTwoUpdatersStartedTogetherExactlyOneGoesOn)
{
    Install install;
    install.dir.write(L"a.txt", "version 1");
    std::wstring kit = install.serve(L"lzma2.7z", "rate=20000");
    std::vector<StartedProcess> updaters;
    for (int i = 0; i < 2; ++i)
        updaters.push_back(startLimited(L"\"" + install.updater + L"\" " + install.base() + L" " + kit + L" x",
                                        install.dir.path()));
    std::vector<std::wstring> reports;
    std::vector<StartedProcess> probes;
    for (const StartedProcess& updater : updaters) {
        ASSERT_TRUE(updater);
        reports.push_back(install.dir.path() + L"-probe-" + std::to_wstring(updater.id) + L".txt");
        probes.push_back(startPlain(L"\"" + programDirectory() + L"\\ui_probe.exe\" --pid " +
                                    std::to_wstring(updater.id) + L" --report " + reports.back()));
    }
    int stopped = 0;
    for (size_t i = 0; i < updaters.size(); ++i) {
        DWORD exitCode = 1;
        EXPECT_TRUE(updaters[i].wait(RUN_LIMIT_MS, &exitCode));
        EXPECT_EQ(exitCode, 0u);
        probes[i].wait(10000);
        std::string report = readFileBytes(reports[i]);
        DeleteFileW(reports[i].c_str());
        if (report.find("Another instance of the updater is running already.") != std::string::npos)
            ++stopped;
    }
    waitForProcessesFrom(install.dir.path(), 10000);
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(install.dir.read(L"a.txt"), treeFile(L"a.txt"));
    EXPECT_EQ(install.requests(), 1u);
}

TEST(UpdateRun, ClosingTheWindowEndsTheRunAndInstallsNothing)
{
    Install install;
    std::wstring slow = install.serve(L"lzma2.7z", "stall=100&stallsecs=40");
    StartedProcess process =
        startLimited(L"\"" + install.updater + L"\" " + install.base() + L" " + slow + L" x", install.dir.path());
    HWND window = nullptr;
    for (int waited = 0; waited < 200 && !window; ++waited, Sleep(50))
        window = FindWindowW(L"Software Update", nullptr);
    ASSERT_NE(window, nullptr);
    Sleep(2000);
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD code = 99;
    ASSERT_TRUE(process.wait(20000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(install.dir.exists(L"a.txt"));
    EXPECT_FALSE(install.dir.exists(L"upgrade.rtp"));
}

TEST(UpdateRun, CloseRequestsWaitUntilTheFilesAreWritten)
{
    Install install;
    install.dir.write(L"a.txt", "version 1");
    // A program outside the install directory holds a.txt for a while: the installation waits.
    FileHolder holder(install.dir.file(L"a.txt"), 8000);
    ASSERT_TRUE(holder.holding());

    std::wstring path = install.serve(L"lzma2.7z");
    StartedProcess process =
        startLimited(L"\"" + install.updater + L"\" " + install.base() + L" " + path + L" x", install.dir.path());
    WindowState state;
    for (int waited = 0; waited < 1200 && state.status != L"Installing files"; ++waited, Sleep(50))
        state = readProgressWindow(process.id);
    ASSERT_EQ(state.status, L"Installing files");
    HWND window = FindWindowW(L"Software Update", nullptr);
    ASSERT_NE(window, nullptr);
    // A posted close, the caption's close command and the end of the session are all refused.
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD_PTR answer = 1;
    EXPECT_NE(SendMessageTimeoutW(window, WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_NORMAL, 20000, &answer), 0);
    EXPECT_NE(SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 20000, &answer), 0);
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(FALSE));

    DWORD code = 99;
    ASSERT_TRUE(process.wait(RUN_LIMIT_MS, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(install.dir.read(L"a.txt"), treeFile(L"a.txt"));
    EXPECT_EQ(install.dir.read(L"big\\one.bin"), treeFile(L"big/one.bin"));
    EXPECT_NE(install.dir.read(L"upgrade.log").find("Everything is Ok\r\n"), std::string::npos);
    waitForProcessesFrom(install.dir.path(), 10000);
    EXPECT_FALSE(install.dir.read(L"zolt.exe.starts").empty());  // the run went on to the restart
}

TEST(UpdateRun, RestartsTheClientWithTheArgumentsOfExec)
{
    Install install("[Launch]\r\nExec=zolt.exe -silent  --from=updater\r\n");
    std::wstring path = install.serve(L"lzma2.7z");
    Report report = install.run(install.base() + L" " + path + L" x");
    ASSERT_TRUE(report.ended);
    EXPECT_TRUE(report.boxes().empty()) << (report.boxes().empty() ? "" : report.boxes()[0]);
    EXPECT_EQ(install.dir.read(L"zolt.exe.starts"),
              utf8(L"\"" + install.dir.path() + L"\\zolt.exe\" -silent  --from=updater\n"));
}

TEST(UpdateRun, InstallsNamesLongerThanItKeepsOfThem)
{
    // 185 characters, 543 bytes of UTF-8: more than the updater keeps of the name it shows last.
    std::wstring folder(80, L'\u20ac');
    std::wstring name = folder + L"\\" + folder + L"\\" + std::wstring(19, L'\u20ac') + L".txt";
    Install install;
    std::wstring path = install.serve(L"longname.7z");
    Report report = install.run(install.base() + L" " + path + L" x");
    ASSERT_TRUE(report.ended);
    EXPECT_EQ(report.exitCode, 0u);
    EXPECT_TRUE(report.boxes().empty()) << (report.boxes().empty() ? "" : report.boxes()[0]);
    EXPECT_EQ(install.dir.read(name), "long name\n");
}

TEST(UpdateRun, ReplacesItsOwnProgramOnEveryRunWithoutWaitingForIt)
{
    // The running updater.exe cannot go until it ends: it is moved aside at once, into a file
    // of its own in the temporary folder, and the kit's updater.exe takes its place.
    Install install;
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        std::string old = install.dir.read(L"updater.exe");
        Report report = install.run(install.base() + L" " + install.serve(L"selfupdate.7z") + L" x");
        ASSERT_TRUE(report.ended);
        EXPECT_TRUE(report.boxes().empty()) << (report.boxes().empty() ? "" : report.boxes()[0]);
        EXPECT_FALSE(report.showed("detail=\"Wait for system releasing lock of updater.exe\""));
        EXPECT_EQ(install.dir.read(L"updater.exe"), SELF_UPDATE_BYTES);
        EXPECT_FALSE(install.dir.exists(L"updater.new"));
        std::string log = install.dir.read(L"upgrade.log");
        const std::string note = "  updater.exe (old file moved aside to ";
        size_t at = log.rfind(note);
        ASSERT_NE(at, std::string::npos) << log;
        size_t start = at + note.size();
        size_t end = log.find(")\r\n", start);
        ASSERT_NE(end, std::string::npos) << log;
        std::string backup = log.substr(start, end - start);
        std::wstring backupPath(backup.begin(), backup.end());  // the temporary folder's name is plain
        EXPECT_EQ(readFileBytes(backupPath), old);
        DeleteFileW(backupPath.c_str());
        EXPECT_NE(log.find("Everything is Ok\r\n", at), std::string::npos);
        install.updater = installProgram(L"updater.exe", install.dir.path(), L"updater.exe");  // for the next run
    }
}

TEST(UpdateRun, AnArchiveWithANameWindowsCannotCreateChangesNothing)
{
    Install install;
    Report report = install.run(install.base() + L" " + install.serve(L"pipe.7z") + L" x");
    ASSERT_TRUE(report.ended);
    std::vector<std::string> boxes = report.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    // No reason: the system gave none for the refusal.
    EXPECT_NE(boxes[0].find(boxText("An unspecified error occured, see upgrade log for details")), std::string::npos)
        << boxes[0];
    EXPECT_NE(boxes[1].find(boxText("Installation failed.\nCould not decompress the downloaded archive.")),
              std::string::npos)
        << boxes[1];
    EXPECT_FALSE(install.dir.exists(L"a_good.txt"));
    EXPECT_NE(install.dir.read(L"upgrade.log").find("ERROR: entry name Windows cannot create: b|bad.txt\r\n"),
              std::string::npos);
    EXPECT_FALSE(install.dir.exists(L"zolt.exe.starts"));
}

TEST(UpdateRun, ARunStoppedWhileItWritesIsPutBackByTheNextStart)
{
    Install install;
    install.dir.write(L"a.txt", "old");
    CreateDirectoryW(install.dir.file(L"dir").c_str(), nullptr);
    CreateDirectoryW(install.dir.file(L"dir\\sub").c_str(), nullptr);
    install.dir.write(L"dir\\sub\\c.bin", "old c");
    ASSERT_TRUE(install.run(L"http://127.0.0.1/ only-one-blank").ended);  // the settings as every start leaves them
    std::string before = install.dir.snapshot();
    {
        // Stopped as a power cut or the task manager would, once it waits for a locked file
        // with the files before it written.
        FileHolder holder(install.dir.file(L"dir\\sub\\c.bin"), 120000);
        ASSERT_TRUE(holder.holding());
        StartedProcess run = startLimited(L"\"" + install.updater + L"\" " + install.base() + L" " +
                                          install.serve(L"lzma2.7z") + L" x", install.dir.path());
        for (int waited = 0; waited < 1200 && install.dir.read(L"upgrade.log").find("  dir/sub/c.bin") == std::string::npos;
             ++waited)
            Sleep(100);
        TerminateProcess(run.process, 1);
        run.wait(10000);
    }
    ASSERT_TRUE(install.dir.exists(L"upgrade.journal"));
    ASSERT_EQ(install.dir.read(L"big\\one.bin"), treeFile(L"big/one.bin"));
    DeleteFileW(install.dir.file(L"upgrade.rtp").c_str());  // the stopped run's download
    Report report = install.run(L"http://127.0.0.1/ only-one-blank");
    ASSERT_TRUE(report.ended);
    EXPECT_EQ(install.dir.snapshot(), before);
    EXPECT_NE(install.dir.read(L"upgrade.log").find(
                  "Put the install directory back as it was before an installation that did not end\r\n"),
              std::string::npos);
}

TEST(UpdateRun, ADownloadThatCannotBeSavedIsNotReplacedByAnOlderArchive)
{
    Install install;
    // An archive of an earlier run stays readable but can be neither deleted nor overwritten.
    CopyFileW(testArchive(L"empty.7z").c_str(), install.dir.file(L"upgrade.rtp").c_str(), FALSE);
    FileHolder holder(install.dir.file(L"upgrade.rtp"), 60000);
    ASSERT_TRUE(holder.holding());

    std::wstring path = install.serve(L"lzma2.7z");
    Report report = install.run(install.base() + L" " + path + L" x");
    ASSERT_TRUE(report.ended);
    EXPECT_EQ(report.exitCode, 0u);
    std::vector<std::string> boxes = report.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find(boxText("Installation failed.\nCould not decompress the downloaded archive.")),
              std::string::npos)
        << boxes[0];
    EXPECT_FALSE(install.dir.exists(L"a.txt"));
    EXPECT_FALSE(install.dir.exists(L"zolt.exe.starts"));  // a failed installation restarts nothing
}

TEST(UpdateRun, UninstallClearsTheBlocksAndEmptiesTheFolder)
{
    Install install;
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring blocking = std::wstring(windows) + L"\\PControl.ini";
    WritePrivateProfileStringW(L"Browser", L"BLOCK1", L"site-a", blocking.c_str());
    WritePrivateProfileStringW(L"Browser", L"BLOCK2", L"site-b", blocking.c_str());
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\zolt\\Browser", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"BLOCK1", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"x"), 4);
    RegCloseKey(key);
    CreateDirectoryW(install.dir.file(L"bin").c_str(), nullptr);
    install.dir.write(L"bin\\client.dll", "x");
    StartedProcess client = startPlain(L"\"" + install.dir.file(L"zolt.exe") + L"\" --stay 300000");

    Report report = install.run(L"-uninstall", L"=yes");
    ASSERT_TRUE(report.ended);
    EXPECT_EQ(report.exitCode, 0u);
    EXPECT_EQ(report.boxes().size(), 1u);  // the question about the running client
    EXPECT_TRUE(client.wait(5000));
    wchar_t value[64];
    for (const wchar_t* name : {L"BLOCK1", L"BLOCK2"}) {
        GetPrivateProfileStringW(L"Browser", name, L"<absent>", value, 64, blocking.c_str());
        EXPECT_STREQ(value, L"") << name;
        DWORD size = sizeof value;
        EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\zolt\\Browser", name, RRF_RT_REG_SZ, nullptr, value,
                               &size),
                  ERROR_SUCCESS);
        EXPECT_STREQ(value, L"") << name;
    }
    EXPECT_FALSE(install.dir.exists(L"zolt.ini"));
    EXPECT_FALSE(install.dir.exists(L"bin"));
    EXPECT_FALSE(install.dir.exists(L"zolt.exe"));
}

TEST(UpdateRun, UninstallLeavesTheFolderToARunningUpdate)
{
    Install install;
    StartedProcess update = startLimited(L"\"" + install.updater + L"\" " + install.base() + L" " +
                                             install.serve(L"lzma2.7z", "rate=400") + L" x",  // about 30 s
                                         install.dir.path());
    for (int waited = 0; waited < 600 && install.requests() == 0; ++waited)
        Sleep(100);  // the update claims the install before it asks for the kit
    StartedProcess uninstall = startLimited(L"\"" + install.updater + L"\" -uninstall", install.dir.path());
    SeenBox box;
    EXPECT_TRUE(answerNextBox(uninstall.id, IDOK, RUN_LIMIT_MS, &box));
    EXPECT_EQ(box.text, L"Another instance of the updater is running already.\nWill exit now.");
    EXPECT_TRUE(uninstall.wait(10000));
    EXPECT_TRUE(update.wait(RUN_LIMIT_MS));
    EXPECT_EQ(install.dir.read(L"a.txt"), treeFile(L"a.txt"));
    EXPECT_TRUE(install.dir.exists(L"zolt.ini"));
    waitForProcessesFrom(install.dir.path(), 10000);  // the restarted client
}

namespace {

// The kits of the signature tests (tests/kit/make_test_kits.sh) lie beside the test archives;
// signed.rtp (zolt 2.0) and the damaged ones hold a.txt, sub/b.txt and a version record of
// their own; older.rtp (zolt 1.9) holds another a.txt.
std::wstring testKit(const wchar_t* name)
{
    return std::wstring(L"..\\test-kits\\") + name;
}

// Every name in the folder and below it, "\" separators.
std::vector<std::wstring> folderListing(const std::wstring& folder, const std::wstring& prefix = L"")
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        names.push_back(prefix + name);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            for (const std::wstring& inner : folderListing(folder + L"\\" + name, prefix + name + L"\\"))
                names.push_back(inner);
        }
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    return names;
}

}  // namespace

TEST(UpdateRun, WithAKeyBuiltInOnlyAKitSignedWithItIsInstalled)
{
    {
        Install install;
        install.updater = installProgram(L"updater_signed.exe", install.dir.path(), L"updater.exe");
        // Installed, then again (a repair), then an older one is refused and changes nothing.
        for (int run = 0; run < 2; ++run) {
            Report report = install.run(install.base() + L" " + install.serve(testKit(L"signed.rtp")) + L" x");
            ASSERT_TRUE(report.ended);
            EXPECT_TRUE(report.boxes().empty()) << (report.boxes().empty() ? "" : report.boxes()[0]);
            EXPECT_EQ(install.dir.read(L"sub\\b.txt"), "second file\n");
            EXPECT_FALSE(install.dir.exists(L"upgrade.rtp"));
            EXPECT_FALSE(install.dir.read(L"zolt.exe.starts").empty());
            EXPECT_EQ(install.dir.read(L"installed_version.txt"), "product=zolt\nversion=2.0\n");
        }
        std::string log = install.dir.read(L"upgrade.log");
        size_t archive = log.find("Archive filename : upgrade.rtp\r\n");  // then the kit, then the entries
        EXPECT_LT(log.find(": Kit: zolt version 2.0\r\n", archive), log.find("a.txt", archive)) << log;
        Report report = install.run(install.base() + L" " + install.serve(testKit(L"older.rtp")) + L" x");
        ASSERT_EQ(report.boxes().size(), 1u);
        EXPECT_NE(report.boxes()[0].find(boxText("Installation failed.\nThe downloaded update is older than the "
                                                 "installed version, so nothing was installed.")),
                  std::string::npos)
            << report.boxes()[0];
        EXPECT_EQ(install.dir.read(L"a.txt"), "signed kit\n");
        EXPECT_NE(install.dir.read(L"upgrade.log")
                      .find(": ERROR: The update is version 1.9, older than the installed 2.0; nothing was installed\r\n"),
                  std::string::npos);
    }
    // Refused: a box, a line in the log, nothing installed, no archive left, no restart, and
    // the ask settings as they were.
    const char* notSigned = "Installation failed.\nThe downloaded update is not signed by the publisher of this "
                            "program, so nothing was installed.";
    const struct {
        const wchar_t* kit;
        const char* log;  // after "ERROR: The update "
        const char* box;
    } table[] = {
        {L"unsigned.rtp", "is not signed with the vendor's key (no signature)", notSigned},
        {L"other_key.rtp", "is not signed with the vendor's key (the signature does not match)", notSigned},
        {L"archive_changed.rtp", "is not signed with the vendor's key (the signature does not match)", notSigned},
        {L"signature_changed.rtp", "is not signed with the vendor's key (the signature does not match)", notSigned},
        {L"trailer_cut.rtp", "is not signed with the vendor's key (no signature)", notSigned},
        {L"kitsig01.rtp", "is not signed with the vendor's key (no signature)", notSigned},
        {L"identity_changed.rtp", "is not signed with the vendor's key (the signature does not match)", notSigned},
        {L"length_changed.rtp", "is not signed with the vendor's key (the signature does not match)", notSigned},
        {L"other_product.rtp", "is for zolt-lite, not zolt",
         "Installation failed.\nThe downloaded update is for another program, so nothing was installed."},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(utf8(row.kit));
        Install install("[Launch]\r\nExec=zolt\r\n[General]\r\nupgrade_never_ask=1\r\nupgrade_do_not_ask=1\r\n");
        install.updater = installProgram(L"updater_signed.exe", install.dir.path(), L"updater.exe");
        Report report = install.run(install.base() + L" " + install.serve(testKit(row.kit)) + L" x");
        ASSERT_TRUE(report.ended);
        EXPECT_EQ(report.exitCode, 0u);
        std::vector<std::string> boxes = report.boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_NE(boxes[0].find(boxText(row.box)), std::string::npos) << boxes[0];
        EXPECT_NE(boxes[0].find("icon=error buttons=ok"), std::string::npos) << boxes[0];
        EXPECT_TRUE(report.showed("status=\"Installation failed\""));
        EXPECT_EQ(folderListing(install.dir.path()),
                  (std::vector<std::wstring>{L"updater.exe", L"upgrade.log", L"zolt.exe", L"zolt.ini"}));
        EXPECT_NE(install.dir.read(L"upgrade.log")
                      .find(std::string(": ERROR: The update ") + row.log + "; nothing was installed\r\n"),
                  std::string::npos)
            << install.dir.read(L"upgrade.log");
        EXPECT_EQ(install.setting(L"General", L"upgrade_never_ask"), L"1");
        EXPECT_EQ(install.setting(L"General", L"upgrade_do_not_ask"), L"1");
    }
}

TEST(UpdateRun, WithoutAKeySignedAndUnsignedKitsInstall)
{
    for (const wchar_t* kit : {L"signed.rtp", L"kitsig01.rtp", L"unsigned.rtp"}) {
        SCOPED_TRACE(utf8(kit));
        Install install;
        Report report = install.run(install.base() + L" " + install.serve(testKit(kit)) + L" x");
        ASSERT_TRUE(report.ended);
        EXPECT_TRUE(report.boxes().empty()) << (report.boxes().empty() ? "" : report.boxes()[0]);
        EXPECT_EQ(install.dir.read(L"a.txt"), "signed kit\n");
        EXPECT_FALSE(install.dir.exists(L"upgrade.rtp"));
    }
}

TEST(UpdateRun, AKitOfWhatChangedMakesTheOldVersionTheNewOne)
{
    Install install;
    const std::wstring old = testArchive(testKit(L"old")), fresh = testArchive(testKit(L"new"));
    for (const std::wstring& name : folderListing(old)) {
        if (GetFileAttributesW((old + L"\\" + name).c_str()) & FILE_ATTRIBUTE_DIRECTORY)
            CreateDirectoryW(install.dir.file(name).c_str(), nullptr);
        else
            install.dir.write(name, readFileBytes(old + L"\\" + name));
    }
    Report report = install.run(install.base() + L" " + install.serve(testKit(L"since.rtp")) + L" x");
    ASSERT_TRUE(report.ended);
    EXPECT_TRUE(report.boxes().empty()) << (report.boxes().empty() ? "" : report.boxes()[0]);
    std::vector<std::wstring> expected = folderListing(fresh), got = folderListing(install.dir.path());
    for (const wchar_t* own : {L"updater.exe", L"upgrade.log", L"zolt.exe", L"zolt.exe.starts", L"zolt.ini"})
        expected.push_back(own);
    std::sort(expected.begin(), expected.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
    for (const std::wstring& name : folderListing(fresh))
        EXPECT_EQ(install.dir.read(name), readFileBytes(fresh + L"\\" + name)) << utf8(name);
}

TEST(UpdateRun, ResumesACutDownloadWhereItStopped)
{
    // The first answer is cut after a third of the archive; what the second request asks for
    // and what the server then does decide how the archive comes together.
    const std::string third = std::to_string(12066 / 3);  // lzma2.7z
    const struct {
        std::string faults;
        size_t requests;
        bool changed;  // the server's file is next from the second request on
        const wchar_t* next = L"longname.7z";
    } table[] = {
        {"", 2, false},             // 206: only the rest comes
        {"&norange=1", 2, false},   // the range is ignored: the whole archive again
        {"&then=", 2, true},        // a new ETag: the new archive whole, never a splice of the two
        {"&range416=1", 3, false},  // refused: asked again plainly, without a reconnect
        // If-Range ignored: the rest of an archive of the same length, but another ETag: no splice
        {"&noifrange=1&then=", 3, true, L"lzma.7z"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.faults);
        Install install;
        std::string faults = row.faults;
        if (row.changed) {
            std::wstring changed = L"kitfull-" + wide(install.tag) + L"-new.rtp";
            CopyFileW(testArchive(row.next).c_str(), (testServer().files + L"\\" + changed).c_str(), FALSE);
            faults += std::string(changed.begin(), changed.end());
        }
        std::wstring path = install.serve(L"lzma2.7z", "cutonce=" + third + faults);
        Report report = install.run(install.base() + L" " + path + L" x");
        ASSERT_TRUE(report.ended);
        EXPECT_TRUE(report.boxes().empty()) << (report.boxes().empty() ? "" : report.boxes()[0]);
        std::vector<std::string> requests = testServer().requests(install.tag);
        ASSERT_EQ(requests.size(), row.requests);
        EXPECT_EQ(requests[0].find("Range"), std::string::npos) << requests[0];
        EXPECT_NE(requests[1].find("[\"Range\", \"bytes=" + third + "-\"]"), std::string::npos) << requests[1];
        EXPECT_NE(requests[1].find("[\"If-Range\", \"\\\""), std::string::npos) << requests[1];
        if (row.requests == 3) {
            EXPECT_EQ(requests[2].find("Range"), std::string::npos) << requests[2];
        }
        size_t reconnects = 0;  // runs of window states that show the reconnect text
        bool showing = false;
        for (const std::string& line : report.lines) {
            bool now = line.find("reconnecting to server") != std::string::npos;
            reconnects += now && !showing;
            showing = now;
        }
        EXPECT_EQ(reconnects, 1u);
        if (row.changed && row.next == std::wstring(L"longname.7z")) {
            EXPECT_EQ(install.dir.read(std::wstring(80, L'\u20ac') + L"\\" + std::wstring(80, L'\u20ac') + L"\\" +
                                       std::wstring(19, L'\u20ac') + L".txt"),
                      "long name\n");
            EXPECT_FALSE(install.dir.exists(L"a.txt"));
        } else {
            for (const wchar_t* file : {L"a.txt", L"big/one.bin", L"big/two.bin", L"dir/sub/c.bin"}) {
                std::wstring local = file;
                for (wchar_t& c : local)
                    c = c == L'/' ? L'\\' : c;
                EXPECT_EQ(install.dir.read(local), treeFile(file)) << utf8(file);
            }
        }
    }
}
