// The update controller: drives one update run from the first byte of the download to the
// restart of the client, on the window timer's ticks. Main thread only.
#pragma once

#include <windows.h>

constexpr UINT_PTR UPDATE_TIMER_ID = 97;
constexpr UINT UPDATE_TIMER_PERIOD_MS = 100;
constexpr int RECONNECT_BUDGET = 10;

// Creates the run's download job, which writes the archive to disk as it arrives.
void startDownload();

// Starts the transfer-rate state afresh (before the first job, and for every new job).
void resetTransferRate();

// The window timer's tick: polls the download, shows its progress, and on its end reconnects,
// gives up with a message, or installs the archive and restarts the client. Returns 0.
LRESULT onTimer();

// Replaces the failed job with a new one, at most 10 times in a run; false when the budget is
// used up or no job could be made.
bool reconnect(int failedStatus);

// The archive installer's event handler: shows its progress and keeps clients away.
int installerEvent(int event, const void* payload);

// Ends the run: the main loop stops and the process exits with 0.
void endRun();
