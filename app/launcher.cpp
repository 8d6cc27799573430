#include "launcher.h"

#include "product_hosts.h"
#include "settings.h"
#include "text.h"
#include "updater_state.h"

#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <cwchar>

namespace {

constexpr wchar_t DEFAULT_LAUNCH_PROGRAM[] = L"zolt.exe";
constexpr wchar_t SECOND_COPY_FORMAT[] = L"\"%s\" %s upgrade/%s_%d/kitfull.rtp \"%s\"";
constexpr WORD WINSOCK_VERSION_WANTED = MAKEWORD(2, 2);
constexpr DWORD SECOND_COPY_FLAGS = DETACHED_PROCESS | CREATE_DEFAULT_ERROR_MODE;

void copyCut(wchar_t* destination, size_t capacity, const wchar_t* text)
{
    (void)formatText(destination, capacity, L"%s", text);  // cut to fit
}

}  // namespace

uint32_t resolveIPv4(const wchar_t* host)
{
    WSADATA winsock;
    if (WSAStartup(WINSOCK_VERSION_WANTED, &winsock) != 0)
        return 0;
    const char* name = toUtf8Temp(host);
    uint32_t address = inet_addr(name);
    if (address == INADDR_NONE) {
        const hostent* entry = gethostbyname(name);
        address = 0;
        if (entry && entry->h_addrtype == AF_INET && entry->h_addr_list && entry->h_addr_list[0])
            memcpy(&address, entry->h_addr_list[0], sizeof address);
    }
    (void)WSACleanup();  // the look-up is done; nothing depends on a clean stop
    return address;
}

int buildLauncherCommandLine(wchar_t* buffer, size_t size, const wchar_t* ownPath,
                             const wchar_t* defaultHost, const wchar_t* serverBase)
{
    wchar_t launchProgram[SETTINGS_TEXT_CAPACITY];
    copyCut(launchProgram, SETTINGS_TEXT_CAPACITY, readString(L"General", L"UpgradeLaunch"));
    if (launchProgram[0] == L'\0')
        copyCut(launchProgram, SETTINGS_TEXT_CAPACITY, DEFAULT_LAUNCH_PROGRAM);

    wchar_t host[UNIVERSE_HOST_CAPACITY];
    copyCut(host, UNIVERSE_HOST_CAPACITY, readString(L"universe", L"host"));
    if (host[0] == L'\0')
        copyCut(host, UNIVERSE_HOST_CAPACITY, defaultHost);
    uint32_t hostAddress = resolveIPv4(host);
    uint32_t defaultAddress = resolveIPv4(defaultHost);  // resolved either way

    in_addr address;
    address.s_addr = hostAddress ? hostAddress : defaultAddress;
    wchar_t addressText[ADDRESS_TEXT_CAPACITY];
    copyCut(addressText, ADDRESS_TEXT_CAPACITY, fromUtf8Temp(inet_ntoa(address)));
    for (wchar_t* c = addressText; *c; ++c) {
        if (*c == L'.')
            *c = L'_';
    }

    int configuredPort = readInt(L"universe", L"port");
    unsigned port = configuredPort > 0 ? static_cast<unsigned>(configuredPort) & 0xFFFF
                                       : DEFAULT_UNIVERSE_PORT;

    return formatText(buffer, size, SECOND_COPY_FORMAT, ownPath, serverBase, addressText,
                      static_cast<int>(port), launchProgram);
}

int runLauncherMode()
{
    wchar_t commandLine[LAUNCHER_COMMAND_CAPACITY];
    (void)buildLauncherCommandLine(commandLine, LAUNCHER_COMMAND_CAPACITY, updaterState.ownPath,
                                   UPDATER_DEFAULT_UNIVERSE_HOST, UPDATER_DEFAULT_SERVER_BASE);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, SECOND_COPY_FLAGS, nullptr,
                       nullptr, &startup, &process)) {
        Sleep(0);  // lets the copy get going before this process ends
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return 0;
}
