// Reads the updater's progress window as a user sees it, from any process.
#pragma once

#include <windows.h>

#include <string>

struct WindowState {
    bool found = false;
    std::wstring title;
    bool topmost = false;
    RECT rect = {};
    std::wstring status;  // the status line
    std::wstring detail;  // the detail line
    int bar = -1;         // progress bar position, -1 when it could not be read
    bool operator==(const WindowState& other) const;
};

// The progress window (class "Software Update") of process processId, or found = false.
// Never blocks on a busy process: texts are read without sending it messages, and the bar
// position with a short time-out.
WindowState readProgressWindow(DWORD processId);

// One report line: "window title=... topmost=1 x=.. y=.. w=.. h=.. status=... detail=... bar=N".
std::string describeWindow(const WindowState& state);

// Text quoted for a report line: UTF-8 in double quotes, with \n, \" and \\ escaped.
std::string quoted(const std::wstring& text);
