// Launcher mode: starts a detached second copy of the program in update mode with the address
// of the full update kit, which is formed from the universe host's IPv4 address and port.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t UNIVERSE_HOST_CAPACITY = 64;       // 63 characters of zolt.ini's host are used
constexpr size_t ADDRESS_TEXT_CAPACITY = 33;        // dotted address, at most 32 characters
constexpr size_t LAUNCHER_COMMAND_CAPACITY = 512;
constexpr unsigned DEFAULT_UNIVERSE_PORT = 6670;

// IPv4 address of host (a dotted literal or a name) in network byte order, 0 when it does not
// resolve. Starts and stops Winsock around the look-up.
uint32_t resolveIPv4(const wchar_t* host);

// Command line of the second copy, from the settings: the quoted ownPath, serverBase, the
// kit path "upgrade/<address>_<port>/kitfull.rtp" and the quoted launch program. defaultHost
// serves when zolt.ini names no universe host or the named one does not resolve.
// Returns what formatText returns.
int buildLauncherCommandLine(wchar_t* buffer, size_t size, const wchar_t* ownPath,
                             const wchar_t* defaultHost, const wchar_t* serverBase);

// Starts the second copy, detached, and returns 0. A copy that cannot start is not reported.
int runLauncherMode();
