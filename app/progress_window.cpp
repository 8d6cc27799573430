#include "progress_window.h"

#include "resource.h"
#include "settings.h"
#include "startup.h"
#include "text.h"
#include "update_controller.h"
#include "updater_state.h"

#include <commctrl.h>

#include <cwchar>

const wchar_t WINDOW_CLASS_NAME[] = L"Software Update";

namespace {

constexpr wchar_t PREFERRED_FACE[] = L"Arial";
constexpr int FONT_HEIGHT_AT_96_DPI = -13;
constexpr int DEFAULT_DPI = 96;
constexpr LONG NORMAL_WEIGHT = 400;
constexpr BYTE FAMILY_ROMAN = 0x10;
constexpr BYTE FAMILY_SWISS = 0x20;
constexpr BYTE FAMILY_MODERN = 0x30;
constexpr BYTE FAMILY_SCRIPT = 0x40;
constexpr int FRAME_WIDTH = 475;
constexpr int LINE_WIDTH = 460;
constexpr wchar_t EMPTY_LINE[] = L"   ";

struct CodePageFont {
    UINT codePage;              // 0 ends the table
    wchar_t face[FONT_FACE_CAPACITY];
    BYTE charset;
    BYTE family;                // family of the enumerated choice; 0 = none yet
};

CodePageFont fontTable[] = {
    {1252, L"", ANSI_CHARSET, 0},          {874, L"", THAI_CHARSET, 0},
    {932, L"MS Gothic", SHIFTJIS_CHARSET, 0}, {936, L"Arial", GB2312_CHARSET, 0},
    {949, L"Arial", HANGUL_CHARSET, 0},    {950, L"Arial", CHINESEBIG5_CHARSET, 0},
    {1250, L"", EASTEUROPE_CHARSET, 0},    {1251, L"Arial", RUSSIAN_CHARSET, 0},
    {1253, L"", GREEK_CHARSET, 0},         {1254, L"", TURKISH_CHARSET, 0},
    {1255, L"", HEBREW_CHARSET, 0},        {1256, L"", ARABIC_CHARSET, 0},
    {1257, L"", BALTIC_CHARSET, 0},        {1361, L"", JOHAB_CHARSET, 0},
    {0, L"", 0, 0},
};

const CodePageFont* chosenFont;
HFONT windowFont;
int screenDpi;  // 0 until read
HWND progressBar;
HWND statusLine;
HWND detailLine;

int dotsPerInch()
{
    if (screenDpi == 0) {
        HDC screen = GetDC(nullptr);
        screenDpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
        if (screen)
            ReleaseDC(nullptr, screen);
        if (screenDpi <= 0)
            screenDpi = DEFAULT_DPI;
    }
    return screenDpi;
}

// Whether a font of family candidate is preferred to the entry's choice so far:
// "Arial", then other Swiss faces, then Roman, Modern, Script, then anything.
bool isBetterFamily(BYTE chosen, BYTE candidate)
{
    switch (chosen) {
    case FAMILY_ROMAN:
        return candidate == FAMILY_SWISS;
    case FAMILY_MODERN:
        return candidate == FAMILY_ROMAN || candidate == FAMILY_SWISS;
    case FAMILY_SCRIPT:
        return candidate == FAMILY_ROMAN || candidate == FAMILY_SWISS || candidate == FAMILY_MODERN;
    default:
        return true;
    }
}

int CALLBACK considerFont(const LOGFONTW* font, const TEXTMETRICW*, DWORD fontType, LPARAM context)
{
    auto* entry = reinterpret_cast<CodePageFont*>(context);
    const auto* described = reinterpret_cast<const ENUMLOGFONTEXW*>(font);
    if (!(fontType & TRUETYPE_FONTTYPE) || font->lfWeight != NORMAL_WEIGHT || font->lfItalic ||
        font->lfCharSet != entry->charset)
        return 1;
    BYTE family = font->lfPitchAndFamily & 0xF0;
    if (entry->family == FAMILY_SWISS) {
        if (_wcsicmp(described->elfFullName, PREFERRED_FACE) != 0)
            return 1;
    } else if (!isBetterFamily(entry->family, family)) {
        return 1;
    }
    (void)formatText(entry->face, FONT_FACE_CAPACITY, L"%s", described->elfFullName);  // cut to 31
    entry->family = family;
    return 1;  // go on: a better face may still come
}

void chooseFace(CodePageFont& entry, HDC screen)
{
    wchar_t key[32];
    (void)formatText(key, 32, L"%s%d", L"codepage", static_cast<int>(entry.codePage));
    const wchar_t* configured = readString(L"international", key);
    if (configured[0] && wcslen(configured) < FONT_FACE_CAPACITY)
        (void)formatText(entry.face, FONT_FACE_CAPACITY, L"%s", configured);
    if (entry.face[0] || !screen)
        return;
    LOGFONTW wanted = {};
    wanted.lfCharSet = entry.charset;
    (void)formatText(wanted.lfFaceName, LF_FACESIZE, L"%s", PREFERRED_FACE);
    (void)EnumFontFamiliesExW(screen, &wanted, considerFont, reinterpret_cast<LPARAM>(&entry), 0);
    if (!entry.face[0]) {
        wanted.lfFaceName[0] = L'\0';
        (void)EnumFontFamiliesExW(screen, &wanted, considerFont, reinterpret_cast<LPARAM>(&entry), 0);
    }
}

HWND createChild(HWND parent, int id, const wchar_t* className, DWORD style, int x, int y, int width, int height)
{
    return CreateWindowExW(0, className, L"", WS_CHILD | WS_VISIBLE | style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), updaterState.instance, nullptr);
}

void setLineText(HWND line, const wchar_t* text)
{
    (void)SendMessageW(line, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    (void)InvalidateRect(line, nullptr, TRUE);
}

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        exitProcess(0);
    case WM_CLOSE:  // also sent straight from the caption's close command
        if (updaterState.installing)
            return 0;
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_QUERYENDSESSION:  // asks the session to wait until the files are written
        if (updaterState.installing)
            return FALSE;
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_TIMER:
        return onTimer();
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

HINSTANCE instance()
{
    if (!updaterState.instance)
        updaterState.instance = GetModuleHandleW(nullptr);
    return updaterState.instance;
}

}  // namespace

void createFonts()
{
    HDC screen = GetDC(nullptr);
    for (CodePageFont* entry = fontTable; entry->codePage; ++entry)
        chooseFace(*entry, screen);
    if (screen)
        ReleaseDC(nullptr, screen);

    UINT codePage = GetACP();
    chosenFont = fontTable;  // a code page missing from the table uses the first entry
    for (const CodePageFont* entry = fontTable; entry->codePage; ++entry) {
        if (entry->codePage == codePage)
            chosenFont = entry;
    }
    LOGFONTW description = {};
    description.lfHeight = MulDiv(FONT_HEIGHT_AT_96_DPI, dotsPerInch(), DEFAULT_DPI);
    description.lfCharSet = chosenFont->charset;
    (void)formatText(description.lfFaceName, LF_FACESIZE, L"%s", chosenFont->face);
    windowFont = CreateFontIndirectW(&description);  // null leaves the controls' own font
}

const wchar_t* windowFontFace()
{
    return chosenFont ? chosenFont->face : L"";
}

bool registerWindowClass()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance();
    windowClass.hIcon = LoadIconW(instance(), MAKEINTRESOURCEW(IDI_UPDATER));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_MENU + 1));
    windowClass.lpszClassName = WINDOW_CLASS_NAME;
    return RegisterClassW(&windowClass) != 0;
}

HWND createMainWindow()
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    (void)InitCommonControlsEx(&controls);  // a missing progress class shows as a missing bar
    HWND window = CreateWindowExW(WS_EX_TOPMOST, WINDOW_CLASS_NAME, loadText(IDS_UPDATE_CAPTION),
                                  WS_POPUP | WS_CAPTION, WINDOW_X, WINDOW_Y, WINDOW_WIDTH, WINDOW_HEIGHT, nullptr,
                                  nullptr, instance(), nullptr);
    if (!window)
        return nullptr;
    updaterState.mainWindow = window;
    // Failures of the children are passed over: the run goes on without that control.
    (void)createChild(window, STATUS_FRAME_ID, L"STATIC", SS_GRAYFRAME, 10, 10, FRAME_WIDTH, 30);
    (void)createChild(window, DETAIL_FRAME_ID, L"STATIC", SS_GRAYFRAME, 10, 50, FRAME_WIDTH, 30);
    progressBar = createChild(window, PROGRESS_BAR_ID, PROGRESS_CLASSW, PBS_SMOOTH, 10, 90, FRAME_WIDTH, 50);
    statusLine = createChild(window, STATUS_LINE_ID, L"STATIC", SS_LEFTNOWORDWRAP, 20, 17, LINE_WIDTH, 20);
    detailLine = createChild(window, DETAIL_LINE_ID, L"STATIC", SS_LEFTNOWORDWRAP, 20, 57, LINE_WIDTH, 20);
    (void)SendMessageW(statusLine, WM_SETFONT, reinterpret_cast<WPARAM>(windowFont), FALSE);
    (void)SendMessageW(detailLine, WM_SETFONT, reinterpret_cast<WPARAM>(windowFont), FALSE);
    (void)SendMessageW(progressBar, PBM_SETRANGE32, 0, PROGRESS_RANGE);
    (void)SendMessageW(progressBar, PBM_SETPOS, 0, 0);
    setStatusText(EMPTY_LINE);
    setDetailText(EMPTY_LINE);
    return window;
}

void setStatusText(const wchar_t* text)
{
    setLineText(statusLine, text);
}

void setDetailText(const wchar_t* text)
{
    setLineText(detailLine, text);
}

void setProgress(float fraction)
{
    float scaled = fraction * PROGRESS_RANGE;
    int position = !(scaled > 0.0f) ? 0 : scaled >= PROGRESS_RANGE ? PROGRESS_RANGE : static_cast<int>(scaled);
    (void)SendMessageW(progressBar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    (void)InvalidateRect(progressBar, nullptr, FALSE);
}

void updateMainWindow()
{
    (void)UpdateWindow(updaterState.mainWindow);
}

void pumpMessages()
{
    if (updaterState.quitRequested)
        return;
    MSG message;
    while (PeekMessageW(&message, updaterState.mainWindow, 0, 0, PM_REMOVE)) {
        if (updaterState.quitRequested)
            return;  // the message is dropped
        if (message.message == WM_CLOSE && updaterState.installing)
            continue;  // ending now would leave the install directory half written
        if (message.message == WM_CLOSE || message.message == WM_QUIT)
            updaterState.quitRequested = true;
        if (message.message != WM_NCRBUTTONDOWN) {
            (void)TranslateMessage(&message);
            (void)DispatchMessageW(&message);
        }
        if (updaterState.quitRequested)
            return;
    }
}

void pauseAnsweringMessages(DWORD ms)
{
    uint32_t start = millisecondClock();
    for (;;) {
        pumpMessages();
        uint32_t spent = millisecondClock() - start;
        if (spent >= ms)
            return;
        // Wakes for a message that arrives, or at the end of the pause.
        (void)MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - spent, QS_ALLINPUT);
    }
}
