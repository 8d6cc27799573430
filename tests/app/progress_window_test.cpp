// The progress window, made by window_demo.exe (the program's own window code in a process of
// its own) and read from outside by the UI probe, as a user sees it.
#include "processes.h"
#include "temp_install_dir.h"
#include "ui_probe.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <string>

namespace {

struct Demo {
    TempInstallDir dir;
    StartedProcess process;
    WindowState window;

    // Shows the window with the given settings and arguments and waits until it has them.
    void show(const std::string& settings, const std::wstring& arguments, const std::wstring& status = L"   ")
    {
        if (!settings.empty())
            dir.write(L"zolt.ini", settings);
        std::wstring demo = installProgram(L"window_demo.exe", dir.path(), L"window_demo.exe");
        process = startPlain(L"\"" + demo + L"\" --stay 20000 " + arguments, dir.path());
        ASSERT_TRUE(process);
        for (int waited = 0; waited < 200; ++waited, Sleep(50)) {
            window = readProgressWindow(process.id);
            if (window.found && window.status == status && !dir.read(L"window_demo.exe.font").empty())
                return;
        }
        FAIL() << "the window did not show";
    }
    std::string font() const { return dir.read(L"window_demo.exe.font"); }
    ~Demo()
    {
        if (process) {
            TerminateProcess(process.process, 0);
            process.wait(5000);
        }
    }
};

}  // namespace

TEST(ProgressWindow, ShowsItsLinesAndBarAtTheirPlaces)
{
    Demo demo;
    demo.show("", L"--status \"Receiving 12.50 MB\" --detail \"dir\\file.dll\" --progress 0.5",
              L"Receiving 12.50 MB");
    const WindowState& window = demo.window;
    EXPECT_EQ(window.title, L"Update");
    EXPECT_TRUE(window.topmost);
    EXPECT_EQ(window.rect.left, 100);
    EXPECT_EQ(window.rect.top, 100);
    EXPECT_EQ(window.rect.right - window.rect.left, 510);
    EXPECT_EQ(window.rect.bottom - window.rect.top, 190);
    EXPECT_EQ(window.detail, L"dir\\file.dll");
    EXPECT_EQ(window.bar, 500);

    // The children, in their order, at their places, in the client area.
    HWND main = FindWindowW(L"Software Update", nullptr);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(GetWindowLongW(main, GWL_STYLE) & (WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME),
              WS_POPUP | WS_CAPTION);
    const struct {
        int id;
        const wchar_t* className;
        DWORD style;
        RECT place;
    } children[] = {
        {2, L"Static", SS_GRAYFRAME, {10, 10, 485, 40}},
        {3, L"Static", SS_GRAYFRAME, {10, 50, 485, 80}},
        {4, L"msctls_progress32", PBS_SMOOTH, {10, 90, 485, 140}},
        {5, L"Static", SS_LEFTNOWORDWRAP, {20, 17, 480, 37}},
        {6, L"Static", SS_LEFTNOWORDWRAP, {20, 57, 480, 77}},
    };
    HWND previous = nullptr;
    for (const auto& child : children) {
        HWND control = GetDlgItem(main, child.id);
        ASSERT_NE(control, nullptr) << child.id;
        wchar_t className[64];
        GetClassNameW(control, className, 64);
        EXPECT_EQ(_wcsicmp(className, child.className), 0) << child.id;
        LONG style = GetWindowLongW(control, GWL_STYLE);
        EXPECT_EQ(style & (WS_CHILD | WS_VISIBLE), WS_CHILD | WS_VISIBLE) << child.id;
        EXPECT_EQ(static_cast<DWORD>(style) & child.style, child.style) << child.id;
        RECT place;
        GetWindowRect(control, &place);
        MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&place), 2);
        EXPECT_TRUE(EqualRect(&place, &child.place)) << child.id << ": " << place.left << "," << place.top << " "
                                                     << place.right << "," << place.bottom;
        if (previous) {
            EXPECT_EQ(GetWindow(previous, GW_HWNDNEXT), control) << "created in order";
        }
        previous = control;
    }
}

TEST(ProgressWindow, KeepsTheBarWithinItsRange)
{
    const struct {
        const wchar_t* fraction;
        int position;
    } table[] = {{L"0", 0}, {L"0.0015", 1}, {L"0.9999", 999}, {L"1", 1000}, {L"1.7", 1000}, {L"-0.2", 0}};
    for (const auto& row : table) {
        Demo demo;
        demo.show("", std::wstring(L"--status x --progress ") + row.fraction, L"x");
        EXPECT_EQ(demo.window.bar, row.position) << row.fraction;
    }
}

TEST(ProgressWindow, ChoosesTheFontPerCodePage)
{
    // Code page 1252 here, and no "Arial" in the prefix: the first Swiss face enumerated.
    const struct {
        std::string settings;
        std::string face;
    } table[] = {
        {"", "DejaVu Sans"},
        {"[international]\r\ncodepage1252=Liberation Serif\r\n", "Liberation Serif"},
        {"[international]\r\ncodepage1252=" + std::string(31, 'F') + "\r\n", std::string(31, 'F')},
        {"[international]\r\ncodepage1252=" + std::string(32, 'F') + "\r\n", "DejaVu Sans"},  // too long
        {"[international]\r\ncodepage932=Liberation Serif\r\n", "DejaVu Sans"},  // another code page's
    };
    for (const auto& row : table) {
        Demo demo;
        demo.show(row.settings, L"");
        EXPECT_EQ(demo.font(), row.face) << row.settings;
    }
}
