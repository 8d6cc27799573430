// The process guard against real processes: stand-in clients started under the client's names.
#include "process_guard.h"

#include "box_answerer.h"
#include "processes.h"
#include "settings.h"
#include "temp_install_dir.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

const std::wstring PROMPT_WITH_CANCEL =
    L"Waiting for other processes to exit...\nDo you want to terminate all zolt processes?\n\n"
    L"'Yes' to terminate zolt processes,\n'No' to continue waiting,\n'Cancel' to exit.";
const std::wstring PROMPT =
    L"Waiting for other processes to exit...\nDo you want to terminate all zolt processes?\n\n"
    L"'Yes' to terminate zolt processes,\n'No' to continue waiting.";

// A stand-in client under name, running for ms milliseconds.
StartedProcess startClient(const TempInstallDir& dir, const std::wstring& name, DWORD ms)
{
    std::wstring client = installProgram(L"fake_client.exe", dir.path(), name);
    StartedProcess process = startPlain(L"\"" + client + L"\" --stay " + std::to_wstring(ms));
    for (int waited = 0; waited < 100 && dir.read(name + L".starts").empty(); ++waited)
        Sleep(50);  // running once it has recorded its start
    return process;
}

bool stillRunning(const StartedProcess& process)
{
    return !process.wait(0);
}

}  // namespace

TEST(ClientProgramName, CompletesTheExecSetting)
{
    const struct {
        const char* exec;
        const wchar_t* program;
        const wchar_t* arguments;
    } table[] = {
        {"client", L"client.exe", L""},
        {"a", L"a.exe", L""},
        {"", L"zolt.exe", L""},
        {".exe", L"zolt.exe", L""},
        {"Client.EXE", L"Client.EXE.exe", L""},
        // Arguments follow the ".exe" that ends a word; they are no part of the program's name.
        {"bin\\client.exe -silent", L"bin\\client.exe", L"-silent"},
        {"client.exe   -a  b=c  ", L"client.exe", L"-a  b=c"},
        {"my.exec.exe -x", L"my.exec.exe", L"-x"},
        {"client.exe.bak", L"client.exe.bak", L""},
        {".exe -x", L"zolt.exe", L""},  // too short to be a program: the default client, as it is
        {"client -x", L"client -x.exe", L""},  // no ".exe" of its own: the whole text is the name
    };
    for (const auto& row : table) {
        TempInstallDir dir;
        dir.write(L"zolt.ini", std::string("[Launch]\r\nExec=") + row.exec + "\r\n");
        ASSERT_EQ(loadSettings(dir.path().c_str(), L"\\zolt.ini", true), 0);
        wchar_t program[GUARD_TEXT_CAPACITY];
        clientProgramName(program, GUARD_TEXT_CAPACITY);
        EXPECT_STREQ(program, row.program) << row.exec;
        wchar_t arguments[GUARD_TEXT_CAPACITY];
        clientCommand(program, GUARD_TEXT_CAPACITY, arguments, GUARD_TEXT_CAPACITY);
        EXPECT_STREQ(program, row.program) << row.exec;
        EXPECT_STREQ(arguments, row.arguments) << row.exec;
    }
}

TEST(WaitForClients, ReturnsWithoutAQuestionWhenNoClientRuns)
{
    BoxAnswerer answerer(GetCurrentProcessId(), {IDNO});
    DWORD start = GetTickCount();
    waitForClients(1, 15);
    DWORD took = GetTickCount() - start;
    EXPECT_GE(took, 240u);  // the settling wait
    EXPECT_LT(took, 5000u);
    start = GetTickCount();
    waitForClients(1, 0);
    EXPECT_LT(GetTickCount() - start, 200u);
    EXPECT_TRUE(answerer.finish().empty());
}

TEST(WaitForClients, AClientThatEndsDuringTheFirstWaitRaisesNoQuestion)
{
    TempInstallDir dir;
    StartedProcess client = startClient(dir, L"zolt.exe", 2500);
    BoxAnswerer answerer(GetCurrentProcessId(), {IDNO});
    waitForClients(1, 15);
    EXPECT_TRUE(answerer.finish().empty());
    EXPECT_TRUE(client.wait(0));
}

TEST(WaitForClients, YesTerminatesTheClients)
{
    TempInstallDir dir;
    dir.write(L"zolt.ini", "[Launch]\r\nExec=client\r\n");
    ASSERT_EQ(loadSettings(dir.path().c_str(), L"\\zolt.ini", true), 0);
    StartedProcess zolt = startClient(dir, L"zolt.exe", 120000);
    StartedProcess old = startClient(dir, L"kelmar.exe", 120000);
    StartedProcess exec = startClient(dir, L"client.exe", 120000);
    BoxAnswerer answerer(GetCurrentProcessId(), {IDYES});
    waitForClients(1, 0);
    std::vector<SeenBox> boxes = answerer.finish();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Update");
    EXPECT_EQ(boxes[0].text, PROMPT_WITH_CANCEL);
    EXPECT_EQ(boxes[0].icon, static_cast<UINT>(MB_ICONQUESTION));
    EXPECT_EQ(boxes[0].buttons, static_cast<UINT>(MB_YESNOCANCEL));
    EXPECT_TRUE(boxes[0].topmost);  // system-modal
    for (const StartedProcess* process : {&zolt, &old, &exec})
        EXPECT_TRUE(process->wait(5000));
}

TEST(WaitForClients, YesSparesProcessesThatOnlyContainTheName)
{
    TempInstallDir dir;
    StartedProcess helper = startClient(dir, L"zolt_helper.exe", 9000);
    BoxAnswerer answerer(GetCurrentProcessId(), {IDYES});
    waitForClients(0, 0);  // during an installation: no Cancel
    std::vector<SeenBox> boxes = answerer.finish();
    // It counts as a client but is not terminated, so the question comes back until it ends.
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, PROMPT);
    EXPECT_EQ(boxes[0].buttons, static_cast<UINT>(MB_YESNO));
    EXPECT_TRUE(helper.wait(0));
}

TEST(WaitForClients, NoKeepsWaitingForTheClient)
{
    TempInstallDir dir;
    StartedProcess client = startClient(dir, L"zolt.exe", 4000);
    BoxAnswerer answerer(GetCurrentProcessId(), {IDNO});
    DWORD start = GetTickCount();
    waitForClients(1, 0);
    EXPECT_GE(GetTickCount() - start, 2500u);  // the client ended by itself
    std::vector<SeenBox> boxes = answerer.finish();
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(client.wait(0));
}

TEST(WaitForClients, CancelEndsTheProgram)
{
    TempInstallDir dir;
    StartedProcess client = startClient(dir, L"zolt.exe", 120000);
    std::wstring runner = installProgram(L"guard_runner.exe", dir.path(), L"guard_runner.exe");
    StartedProcess guard = startPlain(L"\"" + runner + L"\" 1 0", dir.path());
    BoxAnswerer answerer(guard.id, {IDCANCEL});
    DWORD code = 99;
    ASSERT_TRUE(guard.wait(30000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(answerer.finish().size(), 1u);
    EXPECT_FALSE(dir.exists(L"guard_runner.exe.returned"));
    EXPECT_TRUE(stillRunning(client));  // Cancel leaves the client alone
    TerminateProcess(client.process, 0);
}

TEST(FindProcessByName, TellsLetterCaseApartWhereTerminationDoesNot)
{
    TempInstallDir dir;
    StartedProcess upper = startClient(dir, L"ZOLT.EXE", 120000);
    EXPECT_EQ(findProcessByName(L"zolt", nullptr), 0u);
    EXPECT_EQ(findProcessByName(L"ZOLT", L".EXE"), upper.id);
    EXPECT_FALSE(isClientRunning());
    EXPECT_EQ(terminateByName(L"zolt.exe"), upper.id);
    EXPECT_TRUE(upper.wait(5000));
    EXPECT_EQ(terminateByName(L""), 0u);
    EXPECT_EQ(terminateByName(nullptr), 0u);
}

TEST(FindOtherInstance, CountsOnlyTheSameProgramFile)
{
    TempInstallDir first;
    TempInstallDir second;
    std::wstring here = installProgram(L"fake_client.exe", first.path(), L"updater.exe");
    std::wstring elsewhere = installProgram(L"fake_client.exe", second.path(), L"updater.exe");
    StartedProcess other = startPlain(L"\"" + elsewhere + L"\" --stay 120000");
    Sleep(500);
    EXPECT_EQ(findOtherInstance(here.c_str(), GetCurrentProcessId()), 0u);  // same name, other folder

    StartedProcess same = startPlain(L"\"" + here + L"\" --stay 120000");
    DWORD found = 0;
    for (int tries = 0; tries < 50 && !found; ++tries, Sleep(50))
        found = findOtherInstance(here.c_str(), GetCurrentProcessId());
    EXPECT_EQ(found, same.id);
    EXPECT_EQ(findOtherInstance(here.c_str(), same.id), 0u);  // itself is skipped
    EXPECT_EQ(findOtherInstance(L"", 0), 0u);
    EXPECT_EQ(findOtherInstance(nullptr, 0), 0u);
    TerminateProcess(other.process, 0);
    TerminateProcess(same.process, 0);
    other.wait(5000);
    same.wait(5000);
}

TEST(ClaimUpdaterRun, IsSeenByOtherStartsOfTheSameInstall)
{
    EXPECT_FALSE(isUpdaterRunClaimed(L"C:\\claimed"));
    ASSERT_TRUE(claimUpdaterRun(L"C:\\claimed"));
    EXPECT_TRUE(isUpdaterRunClaimed(L"c:\\CLAIMED"));  // letter case aside
    EXPECT_FALSE(isUpdaterRunClaimed(L"C:\\other"));
}
