#include "ui_probe.h"

#include "processes.h"

#include <commctrl.h>

#include <cstdio>

namespace {

constexpr DWORD BAR_READ_TIMEOUT_MS = 200;


std::wstring textOf(HWND window)
{
    wchar_t text[2048] = L"";
    if (window)
        InternalGetWindowText(window, text, 2048);  // sends nothing, so a busy process cannot stall us
    return text;
}

}  // namespace

bool WindowState::operator==(const WindowState& other) const
{
    return found == other.found && title == other.title && topmost == other.topmost &&
           EqualRect(&rect, &other.rect) && status == other.status && detail == other.detail && bar == other.bar;
}

WindowState readProgressWindow(DWORD processId)
{
    WindowState state;
    HWND window = findTopWindow(processId, L"Software Update");
    if (!window)
        return state;
    state.found = true;
    state.title = textOf(window);
    state.topmost = (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    GetWindowRect(window, &state.rect);
    state.status = textOf(GetDlgItem(window, 5));
    state.detail = textOf(GetDlgItem(window, 6));
    DWORD_PTR position = 0;
    if (SendMessageTimeoutW(GetDlgItem(window, 4), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, BAR_READ_TIMEOUT_MS,
                            &position))
        state.bar = static_cast<int>(position);
    return state;
}

std::string quoted(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], size, nullptr, nullptr);
    std::string out = "\"";
    for (char c : utf8) {
        if (c == '\n')
            out += "\\n";
        else if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else
            out += c;
    }
    return out + "\"";
}

std::string describeWindow(const WindowState& state)
{
    if (!state.found)
        return "window none";
    char geometry[128];
    snprintf(geometry, sizeof geometry, " topmost=%d x=%ld y=%ld w=%ld h=%ld", state.topmost ? 1 : 0,
             state.rect.left, state.rect.top, state.rect.right - state.rect.left, state.rect.bottom - state.rect.top);
    return "window title=" + quoted(state.title) + geometry + " status=" + quoted(state.status) +
           " detail=" + quoted(state.detail) + " bar=" + std::to_string(state.bar);
}
