// The two modes that take over the process; neither returns.
#pragma once

// Update mode: commandLine is "serverBase archivePath third-argument", split in place.
[[noreturn]] void runUpdateMode(wchar_t* commandLine);

// Uninstall mode: stops the client, clears the blocking values and empties the install directory.
[[noreturn]] void runUninstallMode();
