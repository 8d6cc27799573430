// The progress window: an always-on-top box titled "Update" with a status line, a detail line
// and a progress bar; its font, chosen per ANSI code page; and the message pump that keeps it
// alive during long steps. Main thread only.
#pragma once

#include <windows.h>

extern const wchar_t WINDOW_CLASS_NAME[];  // "Software Update"
constexpr int WINDOW_X = 100;
constexpr int WINDOW_Y = 100;
constexpr int WINDOW_WIDTH = 510;
constexpr int WINDOW_HEIGHT = 190;
constexpr int PROGRESS_RANGE = 1000;
constexpr size_t FONT_FACE_CAPACITY = 32;  // 31 characters

// Control ids of the window's children.
constexpr int STATUS_FRAME_ID = 2;
constexpr int DETAIL_FRAME_ID = 3;
constexpr int PROGRESS_BAR_ID = 4;
constexpr int STATUS_LINE_ID = 5;
constexpr int DETAIL_LINE_ID = 6;

// Chooses the text lines' font face for every code page (settings, then the installed fonts)
// and creates the font for the system's ANSI code page.
void createFonts();
// The face chosen for the ANSI code page in use (empty before createFonts).
const wchar_t* windowFontFace();

// Registers the window class; false when that fails.
bool registerWindowClass();
// Creates the hidden window with its controls and stores it in updaterState.mainWindow;
// null when the window cannot be created.
HWND createMainWindow();

void setStatusText(const wchar_t* text);
void setDetailText(const wchar_t* text);
// Bar position fraction x 1000, cut towards zero and kept within 0..1000.
void setProgress(float fraction);
// Paints what changed now (UpdateWindow), before a long step.
void updateMainWindow();

// Handles the window's pending messages. Returns at once when the run is quitting; a close
// request (WM_CLOSE or WM_QUIT) marks it quitting; right clicks on the frame are dropped, and
// so is WM_CLOSE while the update is being installed.
void pumpMessages();
// Lets ms milliseconds pass while the window's messages are handled as pumpMessages does, so
// that the window repaints and answers throughout.
void pauseAnsweringMessages(DWORD ms);
