// System survey: the operating system's version, read once at start-up from WMI.
#pragma once

// The version numbers; 0 until the survey has read them (and when it could not).
extern unsigned osMajorVersion;
extern unsigned osMinorVersion;

// Asks WMI for Win32_OperatingSystem.Version and scans it into the two slots ("10.0.19045"
// gives 10 and 0). Returns 0 when the query ran, 1 when COM, the locator, the connection, the
// security blanket or the query failed. With either slot null nothing is scanned. COM is
// initialised and uninitialised within the call.
int surveySystem(unsigned* major, unsigned* minor);

// Scans "major.minor..." into the slots; a text without a dot sets only the major number.
void parseOsVersion(const wchar_t* version, unsigned* major, unsigned* minor);
