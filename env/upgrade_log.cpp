#include "upgrade_log.h"

#include "text.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

const char UPGRADE_LOG_NAME[] = "upgrade.log";
const char OLD_UPGRADE_LOG_NAME[] = "upgrade_old.log";

namespace {

constexpr int64_t STAMP_OFFSET_SECONDS = 7200;            // the stamps run two hours behind UTC
constexpr int64_t UNIX_EPOCH_IN_FILETIME = 116444736000000000LL;
constexpr int64_t FILETIME_TICKS_PER_SECOND = 10000000;
constexpr int DATE_TEXT_ROOM = 58;                         // time and date share this room
constexpr size_t ROTATE_BLOCK = 4096;

char stamp[LOG_STAMP_CAPACITY];

// Copies the log into the old log, replacing it; nothing is copied when either cannot be opened.
void copyToOldLog()
{
    FILE* current = fopen(UPGRADE_LOG_NAME, "rb");
    if (!current)
        return;
    FILE* old = fopen(OLD_UPGRADE_LOG_NAME, "wb");
    if (!old) {
        fclose(current);
        return;
    }
    char block[ROTATE_BLOCK];
    size_t got;
    do {
        got = fread(block, 1, ROTATE_BLOCK, current);
        (void)fwrite(block, 1, got, old);  // a short copy only loses old lines
    } while (got == ROTATE_BLOCK);
    fclose(current);
    fclose(old);
}

// Opens the log for appending, rotating it first when it has reached its limit.
FILE* openLog()
{
    FILE* log = fopen(UPGRADE_LOG_NAME, "ab");
    if (!log)
        return fopen(UPGRADE_LOG_NAME, "wb");  // loses the old content, keeps logging
    if (fseek(log, 0, SEEK_END) != 0 || ftell(log) < UPGRADE_LOG_LIMIT)
        return log;
    fclose(log);
    (void)fflush(nullptr);
    copyToOldLog();
    (void)fflush(nullptr);
    return fopen(UPGRADE_LOG_NAME, "wb");
}

}  // namespace

const char* logTimeStamp(int64_t time)
{
    stamp[0] = '\0';
    if (time == -1)
        time = static_cast<int64_t>(::time(nullptr));
    if (time < 0)
        return stamp;
    int64_t ticks = (time - STAMP_OFFSET_SECONDS) * FILETIME_TICKS_PER_SECOND + UNIX_EPOCH_IN_FILETIME;
    FILETIME fileTime;
    fileTime.dwLowDateTime = static_cast<DWORD>(ticks);
    fileTime.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    SYSTEMTIME brokenDown;
    if (!FileTimeToSystemTime(&fileTime, &brokenDown))
        return stamp;

    int timeLength = GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &brokenDown, nullptr, stamp, LOG_STAMP_CAPACITY);
    if (timeLength <= 0) {
        stamp[0] = '\0';
        timeLength = 1;  // the terminator of an empty time
    }
    // The date gets what is left of its room after the time and its terminator, and never
    // more than the buffer holds after the time and the blank.
    size_t used = strlen(stamp);
    int room = DATE_TEXT_ROOM - timeLength;
    int left = static_cast<int>(LOG_STAMP_CAPACITY - used - 1);
    if (room > left)
        room = left;
    if (room > 1) {
        stamp[used] = ' ';
        int dateLength = GetDateFormatA(LOCALE_USER_DEFAULT, 0, &brokenDown, "ddd MMM d, yyyy",
                                        stamp + used + 1, room);
        if (dateLength <= 0)
            stamp[used] = '\0';  // no date: the time alone
    }
    used = strlen(stamp);
    (void)formatTextNarrow(stamp + used, LOG_STAMP_CAPACITY - used, " VRT");  // cut to fit
    return stamp;
}

namespace {

// A message's bytes: at most the message, its stamp, ": " and two line ends.
constexpr size_t FORMATTED_CAPACITY = LOG_MESSAGE_CAPACITY + LOG_STAMP_CAPACITY + 6;
// Held messages; a fuller hold is written out first.
constexpr size_t HELD_CAPACITY = 64 * 1024;

char held[HELD_CAPACITY];
size_t heldLength = 0;
bool holding = false;

// The bytes of one message by its shape (see the header): their length in out.
size_t formatMessage(const char* text, char (&out)[FORMATTED_CAPACITY])
{
    char message[LOG_MESSAGE_CAPACITY];
    (void)formatTextNarrow(message, LOG_MESSAGE_CAPACITY, "%s", text);  // longer ones are cut
    size_t length = strlen(message);
    if (length > 0 && message[length - 1] == '\n') {
        message[--length] = '\0';
        if (length == 0)
            (void)formatTextNarrow(out, FORMATTED_CAPACITY, "%s: ", logTimeStamp(-1));
        else if (message[length - 1] == '\f')
            (void)formatTextNarrow(out, FORMATTED_CAPACITY, "\r\n%s: ", logTimeStamp(-1));
        else
            (void)formatTextNarrow(out, FORMATTED_CAPACITY, "%s: %s\r\n", logTimeStamp(-1), message);
    } else if (length == 1 && message[0] == '\r') {
        (void)formatTextNarrow(out, FORMATTED_CAPACITY, "\r\n");
    } else {
        (void)formatTextNarrow(out, FORMATTED_CAPACITY, "%s", message);
    }
    return strlen(out);  // the room holds every shape whole
}

// Writes what is held with one opening of the log. Write failures are not reported: a lost
// log line must not stop an installation.
int writeHeld()
{
    FILE* log = openLog();
    if (!log) {
        heldLength = 0;
        return -1;
    }
    (void)fwrite(held, 1, heldLength, log);
    fclose(log);
    heldLength = 0;
    return 0;
}

}  // namespace

int logLine(const char* format, ...)
{
    char message[LOG_MESSAGE_CAPACITY];
    va_list args;
    va_start(args, format);
    (void)formatTextNarrowList(message, LOG_MESSAGE_CAPACITY, format, args);  // longer ones are cut
    va_end(args);
    const char* messages[] = {message};
    return logMessages(messages, 1);
}

int logMessages(const char* const* messages, size_t count)
{
    // Every message goes through the hold; a call that does not hold writes it at once.
    for (size_t i = 0; i < count; ++i) {
        char bytes[FORMATTED_CAPACITY];
        size_t length = formatMessage(messages[i], bytes);
        if (heldLength + length > HELD_CAPACITY && writeHeld() != 0)
            return -1;
        memcpy(held + heldLength, bytes, length);
        heldLength += length;
    }
    return holding ? 0 : writeHeld();  // opened even for nothing, as the log's calls always are
}

void holdLog()
{
    holding = true;
}

int releaseLog()
{
    if (!holding)
        return 0;
    holding = false;
    return heldLength > 0 ? writeHeld() : 0;
}
