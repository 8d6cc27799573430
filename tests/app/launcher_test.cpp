#include "launcher.h"

#include "product_hosts.h"
#include "settings.h"
#include "temp_install_dir.h"
#include "updater_state.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <string>

namespace {

const wchar_t OWN_PATH[] = L"C:\\Program Files\\Zolt\\updater.exe";
const wchar_t BASE[] = L"https://update.test.example";
const wchar_t UNRESOLVABLE[] = L"no-such-host.invalid";

std::wstring expectedLine(const std::wstring& ownPath, const std::wstring& base, const std::wstring& kit,
                          const std::wstring& program)
{
    return L"\"" + ownPath + L"\" " + base + L" upgrade/" + kit + L"/kitfull.rtp \"" + program + L"\"";
}

}  // namespace

TEST(ResolveIPv4, TakesLiteralsAndNames)
{
    EXPECT_EQ(resolveIPv4(L"10.0.0.7"), htonl(0x0A000007));
    EXPECT_EQ(resolveIPv4(L"localhost"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(resolveIPv4(UNRESOLVABLE), 0u);
}

TEST(LauncherCommandLine, NamesTheFullKitOfTheUniverseHost)
{
    const struct {
        const char* settings;
        const wchar_t* defaultHost;
        const wchar_t* kit;
        const wchar_t* program;
    } table[] = {
        {"[universe]\r\nhost=10.0.0.7\r\n", UNRESOLVABLE, L"10_0_0_7_6670", L"zolt.exe"},
        {"[universe]\r\nhost=localhost\r\nport=8000\r\n", UNRESOLVABLE, L"127_0_0_1_8000", L"zolt.exe"},
        // No host, or one that does not resolve: the default host's address.
        {"[universe]\r\nport=8000\r\n", L"127.0.0.2", L"127_0_0_2_8000", L"zolt.exe"},
        {"[universe]\r\nhost=no-such-host.invalid\r\n", L"127.0.0.3", L"127_0_0_3_6670", L"zolt.exe"},
        {"[universe]\r\nhost=no-such-host.invalid\r\n", UNRESOLVABLE, L"0_0_0_0_6670", L"zolt.exe"},
        // Only ports above 0 count, by their low 16 bits.
        {"[universe]\r\nhost=10.0.0.7\r\nport=0\r\n", UNRESOLVABLE, L"10_0_0_7_6670", L"zolt.exe"},
        {"[universe]\r\nhost=10.0.0.7\r\nport=-5\r\n", UNRESOLVABLE, L"10_0_0_7_6670", L"zolt.exe"},
        {"[universe]\r\nhost=10.0.0.7\r\nport=70000\r\n", UNRESOLVABLE, L"10_0_0_7_4464", L"zolt.exe"},
        {"[universe]\r\nhost=10.0.0.7\r\n[General]\r\nUpgradeLaunch=client.exe\r\n", UNRESOLVABLE,
         L"10_0_0_7_6670", L"client.exe"},
        {"[universe]\r\nhost=10.0.0.7\r\n[General]\r\nUpgradeLaunch=\r\n", UNRESOLVABLE, L"10_0_0_7_6670",
         L"zolt.exe"},
    };
    for (const auto& row : table) {
        TempInstallDir dir;
        dir.write(L"zolt.ini", row.settings);
        ASSERT_EQ(loadSettings(dir.path().c_str(), L"\\zolt.ini", true), 0);
        wchar_t line[LAUNCHER_COMMAND_CAPACITY];
        EXPECT_GT(buildLauncherCommandLine(line, LAUNCHER_COMMAND_CAPACITY, OWN_PATH, row.defaultHost, BASE), 0);
        EXPECT_EQ(std::wstring(line), expectedLine(OWN_PATH, BASE, row.kit, row.program)) << row.settings;
    }
}

TEST(LauncherMode, StartsTheSecondCopyWithTheKitAddress)
{
    TempInstallDir dir;
    dir.write(L"zolt.ini", "[universe]\r\nhost=10.1.2.3\r\nport=7001\r\n[General]\r\nUpgradeLaunch=client.exe\r\n");
    ASSERT_EQ(loadSettings(dir.path().c_str(), L"\\zolt.ini", true), 0);
    // The second copy is the running program itself; a recording stand-in takes its place here.
    std::wstring recorder = installProgram(L"fake_client.exe", dir.path(), L"updater.exe");
    wcscpy(updaterState.ownPath, recorder.c_str());

    EXPECT_EQ(runLauncherMode(), 0);

    std::string starts;
    for (int waited = 0; waited < 200 && starts.find('\n') == std::string::npos; ++waited) {
        Sleep(50);
        starts = dir.read(L"updater.exe.starts");
    }
    std::wstring expected = expectedLine(recorder, UPDATER_DEFAULT_SERVER_BASE, L"10_1_2_3_7001", L"client.exe");
    EXPECT_EQ(starts, utf8(expected + L"\n"));
}
