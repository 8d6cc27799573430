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

namespace {

HANDLE releaseQueries;  // set when the test ends, so that a query held until then can end

int answeringQuery(unsigned* major, unsigned* minor)
{
    parseOsVersion(L"10.0.19045", major, minor);
    return 0;
}

int failingQuery(unsigned*, unsigned*)
{
    return 1;
}

// WMI that does not answer while the test runs, and answers late afterwards.
int hangingQuery(unsigned* major, unsigned* minor)
{
    (void)WaitForSingleObject(releaseQueries, INFINITE);
    parseOsVersion(L"10.0", major, minor);
    return 0;
}

struct SurveyCall {
    VersionQuery query;
    unsigned major;
    unsigned minor;
    int result;
};

DWORD WINAPI callSurvey(void* parameter)
{
    SurveyCall* call = static_cast<SurveyCall*>(parameter);
    call->result = surveySystemWith(call->query, 200, &call->major, &call->minor);
    return 0;
}

}  // namespace

TEST(SurveySystem, WaitsForWmiOnlyABoundedTime)
{
    releaseQueries = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(releaseQueries, nullptr);
    const struct {
        const char* what;
        VersionQuery query;
        int result;
        unsigned major;
        unsigned minor;
    } rows[] = {
        {"answers", answeringQuery, 0, 10, 0},
        {"fails", failingQuery, 1, 0, 0},
        {"does not answer", hangingQuery, 1, 0, 0},  // the version stays 0, as when WMI fails
    };
    SurveyCall* hung = nullptr;
    for (const auto& row : rows) {
        // Called from a thread of the test's own: a survey that waits forever shows as a
        // failure here instead of a test that never ends. A call that never returns keeps its record.
        SurveyCall* call = new SurveyCall{row.query, 0, 0, -1};
        HANDLE caller = CreateThread(nullptr, 0, callSurvey, call, 0, nullptr);
        ASSERT_NE(caller, nullptr);
        const bool returned = WaitForSingleObject(caller, 60000) == WAIT_OBJECT_0;
        CloseHandle(caller);
        EXPECT_TRUE(returned) << row.what << ": the survey was still waiting after a minute";
        if (!returned)
            continue;
        EXPECT_EQ(call->result, row.result) << row.what;
        EXPECT_EQ(call->major, row.major) << row.what;
        EXPECT_EQ(call->minor, row.minor) << row.what;
        if (row.query == hangingQuery)
            hung = call;
        else
            delete call;
    }
    // The late answer goes nowhere the caller sees.
    SetEvent(releaseQueries);
    Sleep(100);
    if (hung) {
        EXPECT_EQ(hung->major, 0u);
        EXPECT_EQ(hung->minor, 0u);
    }
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
        // Already in the multithreaded apartment: the survey's own thread is not.
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
