// Text services: bounded formatting, the program's string table, UTF-8 and UTF-16 conversions,
// and the millisecond clock.
//
// Formats follow the Windows runtime's printf rules: in a wide format "%s" takes wide text and
// "%S" narrow text; in a narrow format the other way round.
//
// Results handed out as "rotating" buffers are process-wide: each call takes the next buffer of
// a small ring, so a result stays valid until the ring comes round to it again. Main thread only.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

constexpr size_t LOAD_TEXT_CAPACITY = 1280;  // characters, terminator included
constexpr size_t LOAD_TEXT_BUFFERS = 11;
constexpr size_t UTF8_TEMP_CAPACITY = 4096;  // units, terminator included
constexpr size_t UTF8_TEMP_BUFFERS = 8;

// Formats into buffer (size in characters, terminator included), cutting the text to fit.
// The buffer always ends up terminated. Returns the number of characters written, or -1 when
// the text was cut or the format failed.
int formatText(wchar_t* buffer, size_t size, const wchar_t* format, ...);
int formatTextList(wchar_t* buffer, size_t size, const wchar_t* format, va_list args);
int formatTextNarrow(char* buffer, size_t size, const char* format, ...);
int formatTextNarrowList(char* buffer, size_t size, const char* format, va_list args);

// The module whose string table loadText reads; until it is set, the program's own executable.
void setTextModule(void* moduleHandle);

// String id formatted with the arguments, in a rotating buffer (at most 1279 characters).
// A missing id gives the empty text. Arguments the string does not use are ignored.
const wchar_t* loadText(unsigned id, ...);

// New heap buffer holding the UTF-8 form of text; the caller releases it with free().
// Null for null input or a failed allocation.
char* toUtf8Copy(const wchar_t* text);

// UTF-8 form of text in a rotating buffer (at most 4095 bytes; empty for null).
const char* toUtf8Temp(const wchar_t* text);
// Wide form of UTF-8 text in a rotating buffer (at most 4095 characters; empty for null).
const wchar_t* fromUtf8Temp(const char* text);

// Raises the system timer resolution and sets the clock's zero. Called once, before any
// download job exists.
void startClock();
// As startClock, but the clock reads `reading` now, so that the 32-bit wrap can be tried.
void startClockAt(uint32_t reading);
// Milliseconds since startClock, cut to 32 bits (wraps after about 49.7 days), from a clock
// that changes of the system time do not move. Compare readings by their difference.
// Safe to call from any thread once startClock has run.
uint32_t millisecondClock();
