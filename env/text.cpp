#include "text.h"

#include <windows.h>
#include <mmsystem.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

HMODULE textModule;
wchar_t loadTextBuffers[LOAD_TEXT_BUFFERS][LOAD_TEXT_CAPACITY];
size_t loadTextIndex;

char utf8TempBuffers[UTF8_TEMP_BUFFERS][UTF8_TEMP_CAPACITY];
size_t utf8TempIndex;
wchar_t wideTempBuffers[UTF8_TEMP_BUFFERS][UTF8_TEMP_CAPACITY];
size_t wideTempIndex;

UINT timerPeriod = 1;  // milliseconds; kept when the timer's range cannot be read
// The performance counter does not follow the system time, so time-outs and rates measured
// with it do not jump when the machine's clock is set.
uint64_t clockBase;          // counter reading at startClock
uint64_t countsPerSecond = 1;  // the counter's frequency, fixed at boot

uint64_t counterNow()
{
    LARGE_INTEGER now;
    (void)QueryPerformanceCounter(&now);  // cannot fail on Windows XP and later
    return static_cast<uint64_t>(now.QuadPart);
}

}  // namespace

int formatTextList(wchar_t* buffer, size_t size, const wchar_t* format, va_list args)
{
    if (!buffer || size == 0)
        return -1;
    if (!format || size > INT_MAX) {
        buffer[0] = L'\0';
        return -1;
    }
    // _vsnwprintf leaves the text unterminated when it fills the count exactly, and returns -1
    // when it had to cut; the last unit is reserved for the terminator in both cases.
    int written = _vsnwprintf(buffer, size - 1, format, args);
    buffer[size - 1] = L'\0';
    return written;
}

int formatText(wchar_t* buffer, size_t size, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    int written = formatTextList(buffer, size, format, args);
    va_end(args);
    return written;
}

int formatTextNarrowList(char* buffer, size_t size, const char* format, va_list args)
{
    if (!buffer || size == 0)
        return -1;
    if (!format || size > INT_MAX) {
        buffer[0] = '\0';
        return -1;
    }
    int written = _vsnprintf(buffer, size - 1, format, args);
    buffer[size - 1] = '\0';
    return written;
}

int formatTextNarrow(char* buffer, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int written = formatTextNarrowList(buffer, size, format, args);
    va_end(args);
    return written;
}

void setTextModule(void* moduleHandle)
{
    textModule = static_cast<HMODULE>(moduleHandle);
}

const wchar_t* loadText(unsigned id, ...)
{
    // LoadStringW leaves the buffer untouched for an id outside every string block.
    wchar_t format[LOAD_TEXT_CAPACITY] = L"";
    HMODULE module = textModule ? textModule : GetModuleHandleW(nullptr);
    (void)LoadStringW(module, id, format, static_cast<int>(LOAD_TEXT_CAPACITY));  // missing: empty

    loadTextIndex = (loadTextIndex + 1) % LOAD_TEXT_BUFFERS;
    wchar_t* text = loadTextBuffers[loadTextIndex];
    va_list args;
    va_start(args, id);
    (void)formatTextList(text, LOAD_TEXT_CAPACITY, format, args);  // a cut text is what callers want
    va_end(args);
    return text;
}

char* toUtf8Copy(const wchar_t* text)
{
    if (!text)
        return nullptr;
    // One UTF-16 unit never needs more than 3 UTF-8 bytes (a surrogate pair: 4 for 2 units),
    // so this holds the whole text and its terminator.
    size_t length = wcslen(text);
    if (length > (INT_MAX - 1) / 3)
        return nullptr;
    int size = static_cast<int>(3 * length + 1);
    char* copy = static_cast<char*>(calloc(static_cast<size_t>(size), 1));
    if (!copy)
        return nullptr;
    (void)WideCharToMultiByte(CP_UTF8, 0, text, -1, copy, size, nullptr, nullptr);  // cannot run short
    return copy;
}

const char* toUtf8Temp(const wchar_t* text)
{
    char* buffer = utf8TempBuffers[utf8TempIndex];
    memset(buffer, 0, UTF8_TEMP_CAPACITY);
    if (text) {
        // Too long a text leaves what the conversion wrote; the last byte stays a terminator.
        (void)WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer,
                                  static_cast<int>(UTF8_TEMP_CAPACITY - 1), nullptr, nullptr);
    }
    utf8TempIndex = (utf8TempIndex + 1) % UTF8_TEMP_BUFFERS;
    return buffer;
}

const wchar_t* fromUtf8Temp(const char* text)
{
    wchar_t* buffer = wideTempBuffers[wideTempIndex];
    memset(buffer, 0, sizeof wideTempBuffers[0]);
    if (text) {
        (void)MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer,
                                  static_cast<int>(UTF8_TEMP_CAPACITY - 1));  // as toUtf8Temp
    }
    wideTempIndex = (wideTempIndex + 1) % UTF8_TEMP_BUFFERS;
    return buffer;
}

void startClock()
{
    startClockAt(0);
}

void startClockAt(uint32_t reading)
{
    TIMECAPS caps;
    if (timeGetDevCaps(&caps, sizeof caps) == MMSYSERR_NOERROR)
        timerPeriod = caps.wPeriodMin;
    (void)timeBeginPeriod(timerPeriod);  // never ended: the period lapses with the process
    LARGE_INTEGER frequency;
    if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0)
        countsPerSecond = static_cast<uint64_t>(frequency.QuadPart);
    // Set back by reading milliseconds; a base before the counter's zero wraps like the readings.
    uint64_t setBack = reading / 1000 * countsPerSecond + reading % 1000 * countsPerSecond / 1000;
    clockBase = counterNow() - setBack;
}

uint32_t millisecondClock()
{
    uint64_t elapsed = counterNow() - clockBase;
    // Whole seconds and the rest apart, so that the product cannot overflow.
    uint64_t milliseconds = elapsed / countsPerSecond * 1000 + elapsed % countsPerSecond * 1000 / countsPerSecond;
    return static_cast<uint32_t>(milliseconds);
}
