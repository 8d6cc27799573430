// The upgrade log: time-stamped lines appended to "upgrade.log" in the current directory,
// which moves to "upgrade_old.log" once it has reached 512 KiB. The file is opened and closed
// by every call, so others may read, copy or delete it between writes. Main thread only.
//
// How a message is written, by its shape after formatting:
//   "text\n"   a whole line: stamp, ": ", text, CR LF
//   "\n"       opens a line: stamp and ": " only; later messages continue it
//   "...\f\n"  ends the open line and opens the next one (the text before the form feed is dropped)
//   "\r"       ends the open line with CR LF
//   other      written as it is, continuing the open line
#pragma once

#include <cstddef>
#include <cstdint>

constexpr long UPGRADE_LOG_LIMIT = 524288;     // a log this large is rotated on the next call
constexpr size_t LOG_MESSAGE_CAPACITY = 1024;  // messages are cut to 1023 bytes
constexpr size_t LOG_STAMP_CAPACITY = 65;      // 64 characters
extern const char UPGRADE_LOG_NAME[];          // "upgrade.log"
extern const char OLD_UPGRADE_LOG_NAME[];      // "upgrade_old.log"

// Formats the message (narrow printf) and writes it as above. 0, or -1 when the log can be
// opened neither for appending nor for writing.
int logLine(const char* format, ...);

// Writes messages that are already formatted, each as above and cut as above, with one opening
// of the file: the same bytes as one logLine call per message. 0, or -1 as logLine.
int logMessages(const char* const* messages, size_t count);

// The stamp for a time in seconds since 1970 (-1: now): the time of day, the date as
// "ddd MMM d, yyyy" and "VRT", for two hours before UTC, in the user's formats. Empty for
// other negative times. Valid until the next call.
const char* logTimeStamp(int64_t time);

// From holdLog() on, messages are formatted at once, stamps included, and kept in memory;
// releaseLog() writes them with one opening of the file, the same bytes as one call each
// (earlier when 64 KiB are held). For runs of many short lines: each opening costs about as much
// as installing a small file. A process that ends while holding loses the held lines.
void holdLog();
// Writes what is held and ends holding. 0, or -1 when the log cannot be opened (the held lines
// are lost, as a call's would be).
int releaseLog();
