// The update controller: the timer-driven state of an update run.
#pragma once

#include <windows.h>

// The window timer's tick: polls the download and moves the run on. Returns 0.
LRESULT onTimer();
