// System survey: the operating system's version, read once at start-up from WMI.
#pragma once

// The version numbers; 0 until the survey has read them (and when it could not).
extern unsigned osMajorVersion;
extern unsigned osMinorVersion;

// How long the survey waits for WMI: a service that does not answer must not keep the program
// from starting.
constexpr unsigned SURVEY_WAIT_MS = 5000;

// A version query: scans the version into the slots (none when either is null) and returns 0,
// or 1 when it failed.
using VersionQuery = int (*)(unsigned* major, unsigned* minor);

// Asks WMI for Win32_OperatingSystem.Version and scans it into the two slots ("10.0.19045"
// gives 10 and 0). Returns 0 when the query ran, 1 when COM, the locator, the connection, the
// security blanket or the query failed, or when WMI did not answer within SURVEY_WAIT_MS; the
// slots then keep their values. With either slot null nothing is scanned. COM is initialised
// and uninitialised on a thread of the survey's own.
int surveySystem(unsigned* major, unsigned* minor);

// Runs query on a thread of its own and waits at most waitMs for it. A query that has not
// ended by then is left to itself (it writes nothing of the caller's; the process's exit ends
// it) and the result is 1, with the slots unchanged.
int surveySystemWith(VersionQuery query, unsigned waitMs, unsigned* major, unsigned* minor);

// Scans "major.minor..." into the slots; a text without a dot sets only the major number.
void parseOsVersion(const wchar_t* version, unsigned* major, unsigned* minor);
