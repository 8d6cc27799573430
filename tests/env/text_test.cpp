#include "text.h"

#include "resource.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

TEST(FormatText, FollowsTheWindowsWidthRulesAndCutsToFit)
{
    wchar_t wide[8];
    EXPECT_EQ(formatText(wide, 8, L"%s-%S", L"ab", "cd"), 5);
    EXPECT_STREQ(wide, L"ab-cd");
    EXPECT_EQ(formatText(wide, 8, L"%d", 1234567), 7);  // exactly fills the buffer
    EXPECT_STREQ(wide, L"1234567");
    EXPECT_EQ(formatText(wide, 8, L"%d", 12345678), -1);
    EXPECT_STREQ(wide, L"1234567");  // cut, still terminated
    EXPECT_EQ(formatText(wide, 8, L"%.02f", 1.5), 4);
    EXPECT_STREQ(wide, L"1.50");

    char narrow[6];
    EXPECT_EQ(formatTextNarrow(narrow, 6, "%s%S", "ab", L"cd"), 4);
    EXPECT_STREQ(narrow, "abcd");
    EXPECT_EQ(formatTextNarrow(narrow, 6, "%s", "abcdefgh"), -1);
    EXPECT_STREQ(narrow, "abcde");
}

TEST(LoadText, GivesTheStringTableInEnglish)
{
    const struct {
        unsigned id;
        const wchar_t* text;
    } table[] = {
        {IDS_UPDATE_CAPTION, L"Update"},
        {IDS_SEARCHING, L"Searching..."},
        {IDS_BAD_PARAMETERS, L"Provided parameters are incorrect."},
        {IDS_NO_DOWNLOAD, L"Sorry, there is no download available for this version."},
        {IDS_SETTINGS_MISSING, L"Unable to locate zolt.ini"},
        {IDS_RECEIVING_RESPONSE, L"receiving response"},
        {IDS_DOWNLOAD_TIMED_OUT, L"The download has timed out.  Please try again later."},
        {IDS_STARTING, L"starting"},
        // Ids outside the table: the download status texts ask for these.
        {27, L""},
        {62, L""},
        {141, L""},
    };
    for (const auto& row : table)
        EXPECT_STREQ(loadText(row.id), row.text) << "id " << row.id;

    EXPECT_STREQ(loadText(IDS_RECEIVE_FAILED, 28),
                 L"Unable to receive update (reason 28) after 10 attempts. Check the internet connection.");
    EXPECT_STREQ(loadText(IDS_CONNECT_FAILED, 7),
                 L"Still unable to connect to network (reason 7) after 10 attempts. Check the internet connection.");
    EXPECT_STREQ(loadText(IDS_COUNT_OF, 3, 10), L"3 of 10");
    EXPECT_STREQ(loadText(IDS_SEARCHING, 1, 2, 3), L"Searching...");  // unused arguments are ignored
}

TEST(LoadText, ResultsRotateThroughElevenBuffers)
{
    const wchar_t* first = loadText(IDS_UPDATE_CAPTION);
    for (size_t call = 2; call <= LOAD_TEXT_BUFFERS; ++call)
        EXPECT_NE(loadText(IDS_STARTING), first) << "call " << call;
    const wchar_t* twelfth = loadText(IDS_STARTING);
    EXPECT_EQ(twelfth, first);
    EXPECT_STREQ(first, L"starting");
}

TEST(Utf8, ToUtf8CopyConvertsWholeTexts)
{
    const struct {
        const wchar_t* wide;
        const char* utf8;
    } table[] = {
        {L"", ""},
        {L"plain ascii", "plain ascii"},
        {L"caf\u00e9", "caf\xc3\xa9"},
        // Only characters from U+0800 up: three bytes each, the whole allowance.
        {L"\u20ac\u20ac\u20ac", "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"},
        {L"\u4e2d", "\xe4\xb8\xad"},
        {L"\U0001F600", "\xf0\x9f\x98\x80"},  // a surrogate pair
    };
    for (const auto& row : table) {
        char* copy = toUtf8Copy(row.wide);
        ASSERT_NE(copy, nullptr);
        EXPECT_STREQ(copy, row.utf8);
        free(copy);
    }
    EXPECT_EQ(toUtf8Copy(nullptr), nullptr);
}

TEST(Utf8, TemporaryConversionsRotateAndStayTerminated)
{
    const char* first = toUtf8Temp(nullptr);
    EXPECT_STREQ(first, "");
    for (size_t call = 2; call <= UTF8_TEMP_BUFFERS; ++call)
        EXPECT_NE(toUtf8Temp(L"x"), first);
    EXPECT_EQ(toUtf8Temp(L"caf\u00e9"), first);  // the ninth call takes the first buffer again
    EXPECT_STREQ(first, "caf\xc3\xa9");

    EXPECT_STREQ(fromUtf8Temp("caf\xc3\xa9 \xe2\x82\xac"), L"caf\u00e9 \u20ac");
    EXPECT_STREQ(fromUtf8Temp(nullptr), L"");

    // Too long for the buffer: whatever the conversion left, the last unit is a terminator.
    std::wstring longText(UTF8_TEMP_CAPACITY + 100, L'a');
    const char* cut = toUtf8Temp(longText.c_str());
    EXPECT_LT(strlen(cut), UTF8_TEMP_CAPACITY);
    std::string longUtf8(UTF8_TEMP_CAPACITY + 100, 'a');
    EXPECT_LT(wcslen(fromUtf8Temp(longUtf8.c_str())), UTF8_TEMP_CAPACITY);
}

TEST(MillisecondClock, CountsFromStartClock)
{
    startClock();
    uint32_t start = millisecondClock();
    EXPECT_LT(start, 1000u);  // zero, or the few milliseconds since startClock
    Sleep(50);
    uint32_t later = millisecondClock();
    EXPECT_GE(later - start, 40u);
}

TEST(MillisecondClock, ReadingsKeepTheirDifferenceAcrossTheWrap)
{
    startClockAt(UINT32_MAX - 20);
    uint32_t start = millisecondClock();
    Sleep(100);
    uint32_t later = millisecondClock();
    EXPECT_LT(later, start);  // wrapped past zero
    EXPECT_GE(later - start, 90u);
    startClock();
}

namespace {

uint64_t systemMilliseconds()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000;
}

}  // namespace

// CTest runs this once more with the system time running 3600 times too fast (libfaketime
// under Wine), as if the machine's clock were set forward again and again.
TEST(MillisecondClock, IsNotMovedByTheSystemTime)
{
    if (!getenv("UPDATER_TEST_FAST_SYSTEM_TIME"))
        GTEST_SKIP() << "needs a system time that runs fast";
    constexpr uint64_t systemSpan = 600000;  // ten minutes of system time, a sixth of a second of real time
    startClock();
    uint64_t systemStart = systemMilliseconds();
    uint32_t clockStart = millisecondClock();
    uint32_t clockNow = clockStart;
    // Bounded by the clock under test too, in case the system time is not sped up after all.
    while (systemMilliseconds() - systemStart < systemSpan && clockNow - clockStart < systemSpan)
        clockNow = millisecondClock();
    ASSERT_GE(systemMilliseconds() - systemStart, systemSpan) << "the system time did not run fast";
    EXPECT_LT(clockNow - clockStart, systemSpan / 2);
}
