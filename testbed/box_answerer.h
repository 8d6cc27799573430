// Finds the message boxes a process shows, reads them as a user sees them (caption, text,
// icon, buttons, whether they stay on top) and answers them as a click would.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SeenBox {
    std::wstring caption;
    std::wstring text;
    UINT icon = 0;     // MB_ICONERROR, MB_ICONWARNING, MB_ICONINFORMATION, MB_ICONQUESTION or 0
    UINT buttons = 0;  // MB_OK, MB_OKCANCEL, MB_YESNO, MB_YESNOCANCEL, MB_RETRYCANCEL, ...
    bool topmost = false;  // system-modal and topmost boxes stay above other windows
    bool owned = false;    // the box has an owner window
    int answer = 0;        // the button pressed (IDOK, IDYES, ...)
};

// A visible message box (window class #32770) of process processId, or null.
HWND findMessageBox(DWORD processId);

SeenBox readMessageBox(HWND box);

// Presses button of box as a click would and waits (boundedly) for the box to go.
void pressBoxButton(HWND box, int button);

// Short names for reports: "error", "yesnocancel", ...
const char* iconName(UINT icon);
const char* buttonsName(UINT buttons);

// Waits up to timeoutMs for a box of processId, reads it, presses button and waits for the box
// to go. False when no box came.
bool answerNextBox(DWORD processId, int button, DWORD timeoutMs, SeenBox* seen);

// Answers every box of a process in the background, in order from answers (the last answer
// repeats), until it is destroyed.
class BoxAnswerer {
public:
    BoxAnswerer(DWORD processId, std::vector<int> answers);
    ~BoxAnswerer();
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    std::vector<SeenBox> seen() const;
    // Stops answering (a box being answered is finished first) and returns every box seen.
    std::vector<SeenBox> finish();
    // Waits until count boxes were answered; false after timeoutMs.
    bool waitForBoxes(size_t count, DWORD timeoutMs) const;

private:
    void run();

    DWORD processId_;
    std::vector<int> answers_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<SeenBox> seen_;
    bool stopping_ = false;
    std::thread thread_;
};
