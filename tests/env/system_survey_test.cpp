#include "system_survey.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include <thread>

TEST(SurveySystem, ReadsTheVersionFromWmi)
{
    unsigned major = 0;
    unsigned minor = 0;
    EXPECT_EQ(surveySystem(&major, &minor), 0);
    EXPECT_GE(major, 6u);  // every supported Windows is 6.1 or later
    // With a slot missing the query still runs but nothing is scanned.
    unsigned untouched = 77;
    EXPECT_EQ(surveySystem(&untouched, nullptr), 0);
    EXPECT_EQ(untouched, 77u);
}

TEST(SurveySystem, LeavesNoComStateBehindInEitherApartment)
{
    std::thread([] {
        unsigned major = 0;
        unsigned minor = 0;
        EXPECT_EQ(surveySystem(&major, &minor), 0);
        // COM was uninitialised again: this thread can still choose its apartment.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    }).join();

    std::thread([] {
        // Already in the multithreaded apartment: the survey retries in that mode.
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        unsigned major = 0;
        unsigned minor = 0;
        EXPECT_EQ(surveySystem(&major, &minor), 0);
        EXPECT_GE(major, 6u);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);  // still initialised once
        CoUninitialize();
        CoUninitialize();
    }).join();
}

TEST(ParseOsVersion, ScansMajorAndMinor)
{
    const struct {
        const wchar_t* version;
        unsigned major;
        unsigned minor;
    } table[] = {
        {L"10.0.19045", 10, 0},
        {L"6.1.7601", 6, 1},
        {L"10", 10, 0},  // no dot: the minor number keeps its value
        {L"", 0, 0},
        {L"x.1", 0, 0},
    };
    for (const auto& row : table) {
        unsigned major = 0;
        unsigned minor = 0;
        parseOsVersion(row.version, &major, &minor);
        EXPECT_EQ(major, row.major) << row.version;
        EXPECT_EQ(minor, row.minor) << row.version;
    }
}
