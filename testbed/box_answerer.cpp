#include "box_answerer.h"

#include "processes.h"

#include <chrono>
#include <climits>

namespace {

constexpr DWORD POLL_MS = 20;
constexpr DWORD CLOSE_WAIT_MS = 5000;  // a pressed box goes at once; this only bounds a hung one
constexpr int TEXT_CONTROL_ID = 0xFFFF;

// A dialog is a message box once it shows and has the box's text control.
bool isShownMessageBox(HWND window)
{
    return IsWindowVisible(window) && GetDlgItem(window, TEXT_CONTROL_ID);
}

std::wstring windowText(HWND window)
{
    wchar_t text[4096] = L"";
    GetWindowTextW(window, text, 4096);
    return text;
}

UINT buttonsOf(HWND box)
{
    auto has = [box](int id) { return GetDlgItem(box, id) != nullptr; };
    if (has(IDABORT) && has(IDRETRY) && has(IDIGNORE))
        return MB_ABORTRETRYIGNORE;
    if (has(IDYES) && has(IDNO))
        return has(IDCANCEL) ? MB_YESNOCANCEL : MB_YESNO;
    if (has(IDRETRY) && has(IDCANCEL))
        return MB_RETRYCANCEL;
    if (has(IDOK) && has(IDCANCEL))
        return MB_OKCANCEL;
    return MB_OK;
}

// The box's icon control: a static control showing an icon.
HWND iconControl(HWND box)
{
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[16] = L"";
        GetClassNameW(child, className, 16);
        LONG style = GetWindowLongW(child, GWL_STYLE);
        if (_wcsicmp(className, L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child))
            return child;
    }
    return nullptr;
}

// Icons are told apart by their pixels, as a user tells them apart: the control's pixels on the
// screen against each standard icon drawn here on the same background. This works for boxes of
// other processes too, whose icon handles mean nothing here.
UINT iconOf(HWND box)
{
    HWND control = iconControl(box);
    if (!control)
        return 0;
    RECT area;
    GetClientRect(control, &area);
    int width = area.right < 64 ? area.right : 64;
    int height = area.bottom < 64 ? area.bottom : 64;
    if (width <= 0 || height <= 0)
        return 0;
    POINT origin = {0, 0};
    ClientToScreen(control, &origin);
    HDC screen = GetDC(nullptr);
    std::vector<COLORREF> shown(static_cast<size_t>(width * height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            shown[static_cast<size_t>(y * width + x)] = GetPixel(screen, origin.x + x, origin.y + y);
    ReleaseDC(nullptr, screen);

    struct Candidate { LPCWSTR id; UINT style; };
    const Candidate candidates[] = {{IDI_HAND, MB_ICONERROR},
                                    {IDI_EXCLAMATION, MB_ICONWARNING},
                                    {IDI_ASTERISK, MB_ICONINFORMATION},
                                    {IDI_QUESTION, MB_ICONQUESTION}};
    HDC memory = CreateCompatibleDC(nullptr);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    UINT best = 0;
    long long bestDistance = LLONG_MAX;
    COLORREF background = shown[0];
    for (const Candidate& candidate : candidates) {
        HBRUSH fill = CreateSolidBrush(background);
        RECT all = {0, 0, width, height};
        FillRect(memory, &all, fill);
        DeleteObject(fill);
        DrawIconEx(memory, 0, 0, LoadIconW(nullptr, candidate.id), width, height, 0, nullptr, DI_NORMAL);
        GdiFlush();
        long long distance = 0;
        const auto* pixels = static_cast<const unsigned char*>(bits);
        for (size_t i = 0; i < shown.size(); ++i) {
            int b = pixels[4 * i] - GetBValue(shown[i]);
            int g = pixels[4 * i + 1] - GetGValue(shown[i]);
            int r = pixels[4 * i + 2] - GetRValue(shown[i]);
            distance += r * r + g * g + b * b;
        }
        if (distance < bestDistance) {
            bestDistance = distance;
            best = candidate.style;
        }
    }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    return best;
}

}  // namespace

HWND findMessageBox(DWORD processId)
{
    return findTopWindow(processId, L"#32770", isShownMessageBox);
}

SeenBox readMessageBox(HWND box)
{
    SeenBox seen;
    seen.caption = windowText(box);
    wchar_t text[4096] = L"";
    GetDlgItemTextW(box, TEXT_CONTROL_ID, text, 4096);
    seen.text = text;
    seen.buttons = buttonsOf(box);
    seen.topmost = (GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    seen.owned = GetWindow(box, GW_OWNER) != nullptr;
    seen.icon = iconOf(box);
    return seen;
}

void pressBoxButton(HWND box, int button)
{
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    DWORD pressed = GetTickCount();
    while (IsWindow(box) && GetTickCount() - pressed < CLOSE_WAIT_MS)
        Sleep(POLL_MS);
}

const char* iconName(UINT icon)
{
    switch (icon) {
    case MB_ICONERROR:
        return "error";
    case MB_ICONWARNING:
        return "warning";
    case MB_ICONINFORMATION:
        return "information";
    case MB_ICONQUESTION:
        return "question";
    default:
        return "none";
    }
}

const char* buttonsName(UINT buttons)
{
    switch (buttons) {
    case MB_OKCANCEL:
        return "okcancel";
    case MB_ABORTRETRYIGNORE:
        return "abortretryignore";
    case MB_YESNOCANCEL:
        return "yesnocancel";
    case MB_YESNO:
        return "yesno";
    case MB_RETRYCANCEL:
        return "retrycancel";
    default:
        return "ok";
    }
}

bool answerNextBox(DWORD processId, int button, DWORD timeoutMs, SeenBox* seen)
{
    DWORD start = GetTickCount();
    HWND box = nullptr;
    while (!(box = findMessageBox(processId))) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(POLL_MS);
    }
    Sleep(100);  // let the box finish painting before its pixels are read
    SeenBox read = readMessageBox(box);
    read.answer = button;
    pressBoxButton(box, button);
    if (seen)
        *seen = read;
    return true;
}

BoxAnswerer::BoxAnswerer(DWORD processId, std::vector<int> answers)
    : processId_(processId), answers_(std::move(answers)), thread_(&BoxAnswerer::run, this)
{
}

BoxAnswerer::~BoxAnswerer()
{
    (void)finish();
}

std::vector<SeenBox> BoxAnswerer::finish()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    if (thread_.joinable())
        thread_.join();
    return seen_;
}

std::vector<SeenBox> BoxAnswerer::seen() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return seen_;
}

bool BoxAnswerer::waitForBoxes(size_t count, DWORD timeoutMs) const
{
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                             [&] { return seen_.size() >= count; });
}

void BoxAnswerer::run()
{
    for (;;) {
        size_t index;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (stopping_)
                return;
            index = seen_.size();
        }
        int answer = answers_.empty() ? IDOK : answers_[index < answers_.size() ? index : answers_.size() - 1];
        SeenBox box;
        if (answerNextBox(processId_, answer, 200, &box)) {
            std::lock_guard<std::mutex> hold(lock_);
            seen_.push_back(box);
            changed_.notify_all();
        }
    }
}
