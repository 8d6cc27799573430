// ui_probe.exe --pid N --report FILE [--answers STEPS] [--interval MS]
// Watches process N until it ends, as a user would watch its screen: appends to FILE one line
// each time the progress window changes, one line per message box (read, then answered), and
// a last line with the exit code. Every line starts with the milliseconds since the start.
// STEPS answers the boxes: comma-separated "TEXT=BUTTON" (BUTTON: yes, no, cancel, ok); a box
// takes the first unused step whose TEXT occurs in the box's text (an empty TEXT matches any
// box); when none is left that matches, the last step answers again. Without steps every box
// is answered with Cancel, or OK where there is no Cancel.
#include "box_answerer.h"
#include "ui_probe.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Step {
    std::wstring text;
    int button;
    bool used = false;
};

int buttonNamed(const std::wstring& name)
{
    if (name == L"yes")
        return IDYES;
    if (name == L"no")
        return IDNO;
    if (name == L"cancel")
        return IDCANCEL;
    return IDOK;
}

const char* buttonName(int button)
{
    switch (button) {
    case IDYES:
        return "yes";
    case IDNO:
        return "no";
    case IDCANCEL:
        return "cancel";
    default:
        return "ok";
    }
}

std::vector<Step> parseSteps(const std::wstring& spec)
{
    std::vector<Step> steps;
    size_t start = 0;
    while (start <= spec.size() && !spec.empty()) {
        size_t end = spec.find(L',', start);
        std::wstring item = spec.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        size_t equals = item.rfind(L'=');
        if (equals != std::wstring::npos)
            steps.push_back({item.substr(0, equals), buttonNamed(item.substr(equals + 1))});
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    return steps;
}

int chooseAnswer(std::vector<Step>& steps, const SeenBox& box, HWND window)
{
    for (Step& step : steps) {
        if (!step.used && box.text.find(step.text) != std::wstring::npos) {
            step.used = true;
            return step.button;
        }
    }
    if (!steps.empty())
        return steps.back().button;
    return GetDlgItem(window, IDCANCEL) ? IDCANCEL : IDOK;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    DWORD processId = 0;
    std::wstring report;
    std::wstring answers;
    DWORD interval = 50;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::wstring option = argv[i];
        if (option == L"--pid")
            processId = wcstoul(argv[i + 1], nullptr, 10);
        else if (option == L"--report")
            report = argv[i + 1];
        else if (option == L"--answers")
            answers = argv[i + 1];
        else if (option == L"--interval")
            interval = wcstoul(argv[i + 1], nullptr, 10);
    }
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process || report.empty()) {
        fwprintf(stderr, L"usage: ui_probe.exe --pid N --report FILE [--answers STEPS] [--interval MS]\n");
        return 2;
    }
    FILE* out = _wfopen(report.c_str(), L"ab");
    if (!out)
        return 3;
    std::vector<Step> steps = parseSteps(answers);
    DWORD start = GetTickCount();
    WindowState last;
    auto line = [&](const std::string& text) {
        fprintf(out, "%lu %s\n", GetTickCount() - start, text.c_str());
        fflush(out);
    };
    for (;;) {
        bool ended = WaitForSingleObject(process, interval) == WAIT_OBJECT_0;
        WindowState now = readProgressWindow(processId);
        if (!(now == last))
            line(describeWindow(now));
        last = now;
        if (HWND window = findMessageBox(processId)) {
            Sleep(100);  // let it paint before its icon is read
            SeenBox box = readMessageBox(window);
            int answer = chooseAnswer(steps, box, window);
            line("box caption=" + quoted(box.caption) + " text=" + quoted(box.text) + " icon=" + iconName(box.icon) +
                 " buttons=" + buttonsName(box.buttons) + " topmost=" + (box.topmost ? "1" : "0") +
                 " answer=" + buttonName(answer));
            pressBoxButton(window, answer);
        }
        if (ended)
            break;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    line("exit code=" + std::to_string(code));
    fclose(out);
    CloseHandle(process);
    return 0;
}
