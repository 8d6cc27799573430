// The download client on the real libcurl against the test bed's update server.
#include "download_client.h"

#include "download_job.h"
#include "request_setup.h"
#include "settings.h"
#include "system_survey.h"
#include "temp_install_dir.h"
#include "test_server.h"
#include "text.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD POLL_MS = 100;          // as the update controller polls
constexpr DWORD FINISH_LIMIT_MS = 60000;

bool isRunning(int status)
{
    return status == DownloadStatus::Queued || status == DownloadStatus::Transferring ||
           status == DownloadStatus::NoTransfer;
}

// Polls the job as the update controller does, sweeping for stalls, until it ends.
// With statusText the status line is read on every poll too.
int waitForEnd(DownloadJob* job, bool statusText = false)
{
    DWORD start = GetTickCount();
    int status;
    while (isRunning(status = downloadStatus(job)) && GetTickCount() - start < FINISH_LIMIT_MS) {
        Sleep(POLL_MS);
        sweepStalledDownloads();
        if (statusText)
            (void)downloadStatusText(job);
    }
    return status;
}

// Waits until the job has received at least bytes.
bool waitForBytes(DownloadJob* job, uint32_t bytes)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < FINISH_LIMIT_MS; Sleep(20)) {
        uint32_t received = 0;
        if (downloadCounts(job, &received, nullptr) == 0 && received >= bytes)
            return true;
    }
    return false;
}

std::atomic<int> endNotices;  // the worker's word that a job ended

void countEndNotice()
{
    ++endNotices;
}

// The notice follows the final status: the poll may see the status first.
int endNoticesSoon(int expected)
{
    for (DWORD start = GetTickCount(); endNotices < expected && GetTickCount() - start < FINISH_LIMIT_MS;)
        Sleep(10);
    return endNotices;
}

bool isPattern(const unsigned char* data, uint32_t size)
{
    for (uint32_t i = 0; i < size; ++i) {
        if (data[i] != i % 251)
            return false;
    }
    return data[size] == 0;
}

class DownloadClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        startClock();
        osMajorVersion = 10;
        osMinorVersion = 0;
        buildUserAgents(0.0f, 0);
        startDownloadWorker(30000);
        endNotices = 0;
        setDownloadEndNotice(countEndNotice);
    }
    void TearDown() override { shutdownDownloadClient(); }

    const TestServer& server = testServer();
};

}  // namespace

TEST_F(DownloadClient, EndsEveryTransferWithTheStatusOfItsCause)
{
    const struct {
        std::wstring url;
        int status;
    } table[] = {
        {server.url(L"bytes/100000"), DownloadStatus::Done},
        {server.url(L"bytes/100000?mode=close"), DownloadStatus::Done},
        {server.url(L"bytes/100000?mode=chunked"), DownloadStatus::Done},
        {server.url(L"redirect/4/bytes/1000"), DownloadStatus::Done},
        // Schannel under Wine accepts the self-signed certificate (Windows would refuse it).
        {server.secureUrl(L"bytes/100000"), DownloadStatus::Done},
        {server.url(L"empty"), DownloadStatus::EmptyBody},
        {server.url(L"status/304"), DownloadStatus::NotModified},
        {server.url(L"status/400"), DownloadStatus::BadRequest},
        {server.url(L"status/404"), DownloadStatus::NotFound},
        {server.url(L"status/500"), DownloadStatus::TimedOut},
        {server.url(L"bytes/1000?status=500"), DownloadStatus::TimedOut},
        // HTML pages are cut off on their first chunk, under any status.
        {server.url(L"html/200?kind=doctype"), DownloadStatus::NotFound},
        {server.url(L"html/200?kind=lower"), DownloadStatus::NotFound},
        {server.url(L"html/200?kind=upper"), DownloadStatus::NotFound},
        {server.url(L"html/200?say304=1"), DownloadStatus::NotModified},
        {server.url(L"html/500?kind=lower"), DownloadStatus::NotFound},
        {server.url(L"html/404?kind=upper&say304=1"), DownloadStatus::NotModified},
        // A length that 32 bits cannot count is refused instead of wrapping.
        {server.url(L"bytes/1000?announce=4294967296"), DownloadStatus::BadRequest},
        {server.url(L"bytes/1000?announce=4294967297"), DownloadStatus::BadRequest},
        // Short bodies, broken connections, too many redirects, TLS that fails.
        {server.url(L"bytes/100000?announce=200000"), DownloadStatus::NotFound},
        {server.url(L"bytes/100000?cut=5000"), DownloadStatus::NotFound},
        {server.url(L"redirect/5/bytes/1000"), DownloadStatus::NotFound},
        {L"https://127.0.0.1:" + std::to_wstring(server.notls) + L"/bytes/10", DownloadStatus::NotFound},
        // Nobody to talk to.
        {L"http://127.0.0.1:" + std::to_wstring(server.closed) + L"/bytes/10", DownloadStatus::Unreachable},
        {L"http://no-such-host.invalid/bytes/10", DownloadStatus::Unreachable},
        {L"gopher2://127.0.0.1/x", DownloadStatus::Unreachable},
    };
    for (const auto& row : table) {
        endNotices = 0;
        DownloadJob* job = createDownload(row.url.c_str());
        ASSERT_NE(job, nullptr);
        EXPECT_EQ(waitForEnd(job), row.status) << utf8(row.url);
        EXPECT_EQ(endNoticesSoon(1), 1) << utf8(row.url) << ": the end is told once";
        releaseDownload(job);
    }
}

TEST_F(DownloadClient, HandsOverTheWholeBody)
{
    // The large body's block is touched ahead of the transfer by a thread of its own.
    const struct {
        const wchar_t* path;
        uint32_t size;
    } table[] = {{L"bytes/300000", 300000}, {L"bytes/300000?mode=close", 300000},
                 {L"bytes/300000?mode=chunked", 300000}, {L"bytes/24000000", 24000000}};
    for (const auto& row : table) {
        DownloadJob* job = createDownload(server.url(row.path).c_str());
        ASSERT_EQ(waitForEnd(job), DownloadStatus::Done) << utf8(row.path);
        ASSERT_EQ(downloadSize(job), row.size);
        EXPECT_TRUE(isPattern(downloadData(job), row.size)) << utf8(row.path);
        uint32_t received = 0;
        uint32_t total = 0;
        EXPECT_EQ(downloadCounts(job, &received, &total), 0);
        EXPECT_EQ(received, row.size);
        EXPECT_EQ(total, row.size);
        size_t capacity = 0;
        unsigned char* taken = takeDownloadData(job, &capacity);
        EXPECT_TRUE(taken && capacity > row.size && isPattern(taken, row.size)) << utf8(row.path);
        EXPECT_EQ(downloadData(job), nullptr) << "the job keeps no data once it is taken";
        free(taken);
        releaseDownload(job);
    }
}

TEST_F(DownloadClient, TakesTheLengthOfTheFinalResponse)
{
    // Each 302 announces a small HTML body of its own and sends it half a second after its
    // headers; the archive is what the last response sends, with or without a length.
    for (const wchar_t* path : {L"redirect/1/bytes/300000?hopbody=500",
                                L"redirect/2/bytes/300000?hopbody=500&mode=chunked",
                                L"redirect/1/bytes/300000?hopbody=500&mode=close"}) {
        DownloadJob* job = createDownload(server.url(path).c_str());
        ASSERT_EQ(waitForEnd(job), DownloadStatus::Done) << utf8(path);
        EXPECT_EQ(downloadSize(job), 300000u) << utf8(path);
        EXPECT_TRUE(isPattern(downloadData(job), 300000)) << utf8(path);
        uint32_t received = 0;
        uint32_t total = 0;
        EXPECT_EQ(downloadCounts(job, &received, &total), 0);
        EXPECT_EQ(received, 300000u) << utf8(path);
        EXPECT_EQ(total, 300000u) << utf8(path);
        releaseDownload(job);
    }
}

TEST_F(DownloadClient, RedirectsStayOnHttpAndOffPlainHttpOnceOnHttps)
{
    const std::wstring closedPort = std::to_wstring(server.closed);
    const struct {
        bool secure;         // the download begins on https
        std::wstring to;     // where its one redirect points
        int status;
    } table[] = {
        {true, server.secureUrl(L"bytes/1000"), DownloadStatus::Done},
        {true, server.url(L"bytes/1000"), DownloadStatus::NotFound},
        {true, L"HTTP://127.0.0.1:" + std::to_wstring(server.http) + L"/bytes/1000", DownloadStatus::NotFound},
        {true, L"ftp://127.0.0.1:" + closedPort + L"/kit.rtp", DownloadStatus::NotFound},
        {true, L"file:///etc/hostname", DownloadStatus::NotFound},
        {false, server.url(L"bytes/1000"), DownloadStatus::Done},
        {false, server.secureUrl(L"bytes/1000"), DownloadStatus::Done},
        {false, L"ftp://127.0.0.1:" + closedPort + L"/kit.rtp", DownloadStatus::NotFound},
        {false, L"file:///etc/hostname", DownloadStatus::NotFound},
        {false, L"gopher2://127.0.0.1/kit.rtp", DownloadStatus::NotFound},
        // Through https and back: the last hop is refused as from https.
        {false, server.secureUrl(L"location?to=" + server.url(L"bytes/1000")), DownloadStatus::NotFound},
    };
    int row = 0;
    for (const auto& entry : table) {
        // The tag goes along to the target, so the log shows whether the redirect was followed.
        std::wstring tag = L"redir-" + std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(row++);
        std::wstring to = entry.to + L"?tag=" + tag;
        std::wstring path = L"location?to=" + to;
        DownloadJob* job = createDownload((entry.secure ? server.secureUrl(path) : server.url(path)).c_str());
        ASSERT_NE(job, nullptr);
        EXPECT_EQ(waitForEnd(job), entry.status) << utf8(to) << (entry.secure ? " from https" : " from http");
        if (entry.status == DownloadStatus::Done) {
            EXPECT_TRUE(isPattern(downloadData(job), 1000)) << utf8(to);
        }
        releaseDownload(job);
        size_t asked = server.requests(utf8(tag)).size();
        size_t hops = 1 + (entry.to.find(L"location?") != std::wstring::npos);
        EXPECT_EQ(asked, hops + (entry.status == DownloadStatus::Done)) << utf8(to);
    }
}

TEST_F(DownloadClient, EstimatesTheTotalUntilTheLengthIsKnown)
{
    // No announced length: received + 4096 while it runs, exactly received at the end.
    DownloadJob* job = createDownload(server.url(L"bytes/40000?mode=close&rate=20000").c_str());
    ASSERT_TRUE(waitForBytes(job, 1));
    uint32_t received = 0;
    uint32_t total = 0;
    ASSERT_EQ(downloadCounts(job, &received, &total), 0);
    if (downloadStatus(job) == DownloadStatus::Transferring) {
        EXPECT_EQ(total, received + ESTIMATE_MARGIN);
    }
    ASSERT_EQ(waitForEnd(job), DownloadStatus::Done);
    ASSERT_EQ(downloadCounts(job, &received, &total), 0);
    EXPECT_EQ(received, 40000u);
    EXPECT_EQ(total, 40000u);
    releaseDownload(job);

    // An announced length is the total as soon as it is known.
    job = createDownload(server.url(L"bytes/40000?rate=20000").c_str());
    ASSERT_TRUE(waitForBytes(job, 1));
    Sleep(50);  // a worker cycle learns the length
    ASSERT_EQ(downloadCounts(job, &received, &total), 0);
    EXPECT_EQ(total, 40000u);
    ASSERT_EQ(waitForEnd(job), DownloadStatus::Done);
    releaseDownload(job);
}

TEST_F(DownloadClient, UnknownAndReleasedHandlesAnswerAsUnreachable)
{
    DownloadJob* job = createDownload(server.url(L"bytes/10").c_str());
    ASSERT_EQ(waitForEnd(job), DownloadStatus::Done);
    releaseDownload(job);
    int local = 0;
    DownloadJob* neverMade = reinterpret_cast<DownloadJob*>(&local);
    for (DownloadJob* dead : {job, neverMade, static_cast<DownloadJob*>(nullptr)}) {
        EXPECT_EQ(downloadStatus(dead), DownloadStatus::Unreachable);
        uint32_t received = 77;
        uint32_t total = 77;
        EXPECT_EQ(downloadCounts(dead, &received, &total), -1);
        EXPECT_EQ(received, 77u);
        EXPECT_EQ(total, 77u);
        EXPECT_EQ(downloadData(dead), nullptr);
        EXPECT_EQ(downloadSize(dead), 0u);
        EXPECT_STREQ(downloadStatusText(dead), L"");
        releaseDownload(dead);  // nothing happens
    }
}

TEST_F(DownloadClient, ReleaseDuringTheTransferAbortsIt)
{
    std::string tag = "release-" + std::to_string(GetTickCount());
    DownloadJob* job = createDownload(server.url(L"bytes/1000000?rate=20000&tag=" + std::wstring(tag.begin(), tag.end())).c_str());
    ASSERT_TRUE(waitForBytes(job, 1000));
    releaseDownload(job);
    EXPECT_EQ(downloadStatus(job), DownloadStatus::Unreachable);
    // The worker goes on serving others.
    DownloadJob* next = createDownload(server.url(L"bytes/1000").c_str());
    EXPECT_EQ(waitForEnd(next), DownloadStatus::Done);
    releaseDownload(next);
}

TEST_F(DownloadClient, StalledTransfersEndAsTimedOut)
{
    startDownloadWorker(1000);
    DownloadJob* job = createDownload(server.url(L"bytes/100000?stall=2000&stallsecs=20").c_str());
    DWORD start = GetTickCount();
    EXPECT_EQ(waitForEnd(job), DownloadStatus::TimedOut);
    EXPECT_LT(GetTickCount() - start, 15000u);  // well before the server would give up
    EXPECT_EQ(downloadData(job), nullptr);      // timed-out jobs hand out nothing
    EXPECT_EQ(downloadSize(job), 0u);
    releaseDownload(job);
}

TEST_F(DownloadClient, PollingTheStatusTextHoldsOffTheSweepForThirtySeconds)
{
    startDownloadWorker(1000);
    // Headers, then nothing for 5 s, then the connection closes: the sweep would flag it after
    // 1 s, but a polled status text keeps it alive until the server ends it (short body: 11).
    DownloadJob* job = createDownload(server.url(L"bytes/1000?stall=0&stallsecs=5").c_str());
    EXPECT_EQ(waitForEnd(job, true), DownloadStatus::NotFound);
    releaseDownload(job);

    // After the first 30 seconds the grace is over and the sweep ends it.
    job = createDownload(server.url(L"bytes/1000?stall=0&stallsecs=45").c_str());
    DWORD start = GetTickCount();
    EXPECT_EQ(waitForEnd(job, true), DownloadStatus::TimedOut);
    DWORD took = GetTickCount() - start;
    EXPECT_GE(took, STATUS_TEXT_GRACE_MS);
    EXPECT_LT(took, 44000u);
    releaseDownload(job);
}

TEST_F(DownloadClient, StallRulesHoldAcrossTheClockWrap)
{
    startDownloadWorker(1000);
    // A transfer that trickles on, a chunk every 100 ms, while the clock passes zero.
    startClockAt(UINT32_MAX - 1000);
    DownloadJob* job = createDownload(server.url(L"bytes/3000?rate=1000").c_str());
    EXPECT_EQ(waitForEnd(job), DownloadStatus::Done);
    releaseDownload(job);

    // A polled status text holds off the sweep for the first 30 seconds, across the wrap too.
    startClockAt(UINT32_MAX - 1000);
    job = createDownload(server.url(L"bytes/1000?stall=0&stallsecs=3").c_str());
    EXPECT_EQ(waitForEnd(job, true), DownloadStatus::NotFound);
    releaseDownload(job);
    startClock();
}

TEST_F(DownloadClient, StatusTextIsEmptyAndByteCountsAreShort)
{
    DownloadJob* job = createDownload(server.url(L"bytes/200000?rate=100000").c_str());
    ASSERT_TRUE(waitForBytes(job, 1));
    EXPECT_STREQ(downloadStatusText(job), L"");  // the string table has no status texts
    ASSERT_EQ(waitForEnd(job), DownloadStatus::Done);
    EXPECT_STREQ(downloadStatusText(job), L"");
    releaseDownload(job);

    const struct {
        uint32_t bytes;
        const wchar_t* text;
    } table[] = {{0, L"0.0b"},           {1023, L"1023.0b"},   {1024, L"1.0Kb"},
                 {1536, L"1.5Kb"},       {1048575, L"1024.0Kb"}, {1048576, L"1.0Mb"},
                 {300u << 20, L"300.0Mb"}, {0xFFFFFFFF, L"4096.0Mb"}};
    for (const auto& row : table)
        EXPECT_STREQ(formatByteCount(row.bytes), row.text) << row.bytes;
}

TEST_F(DownloadClient, CreationChecksTheAddress)
{
    std::wstring longest(DOWNLOAD_URL_MAX_CHARS, L'a');
    DownloadJob* job = createDownload(longest.c_str());
    ASSERT_NE(job, nullptr);
    releaseDownload(job);
    EXPECT_EQ(createDownload((longest + L"a").c_str()), nullptr);
    EXPECT_EQ(createDownload(L":8080/x"), nullptr);
    EXPECT_EQ(createDownload(nullptr), nullptr);

    // Lower-case "http://" is dropped from the stored address; any other spelling stays.
    job = createDownload(L"http://127.0.0.1/x");
    EXPECT_STREQ(job->url, L"127.0.0.1/x");
    releaseDownload(job);
    job = createDownload(L"HTTP://127.0.0.1/x");
    EXPECT_STREQ(job->url, L"HTTP://127.0.0.1/x");
    releaseDownload(job);
}

TEST_F(DownloadClient, StallTimeoutHasAFloor)
{
    startDownloadWorker(999);
    EXPECT_EQ(downloadStallTimeout(), DEFAULT_STALL_TIMEOUT_MS);
    startDownloadWorker(1000);
    EXPECT_EQ(downloadStallTimeout(), 1000u);
}

TEST_F(DownloadClient, ShutdownEndsJobsInEveryState)
{
    DownloadJob* done = createDownload(server.url(L"bytes/10").c_str());
    ASSERT_EQ(waitForEnd(done), DownloadStatus::Done);
    DownloadJob* failed = createDownload(server.url(L"status/404").c_str());
    ASSERT_EQ(waitForEnd(failed), DownloadStatus::NotFound);
    DownloadJob* transferring = createDownload(server.url(L"bytes/1000000?rate=20000").c_str());
    ASSERT_TRUE(waitForBytes(transferring, 1));
    DownloadJob* released = createDownload(server.url(L"bytes/1000000?rate=20000").c_str());
    ASSERT_TRUE(waitForBytes(released, 1));
    releaseDownload(released);
    DownloadJob* queued = createDownload(server.url(L"bytes/10").c_str());

    shutdownDownloadClient();
    for (DownloadJob* job : {done, failed, transferring, released, queued})
        EXPECT_EQ(downloadStatus(job), DownloadStatus::Unreachable);

    // Without a worker it still destroys every job; then the client starts again.
    DownloadJob* orphan = createDownload(server.url(L"bytes/10").c_str());
    shutdownDownloadClient();
    EXPECT_EQ(downloadStatus(orphan), DownloadStatus::Unreachable);
    startDownloadWorker(30000);
    DownloadJob* again = createDownload(server.url(L"bytes/10").c_str());
    EXPECT_EQ(waitForEnd(again), DownloadStatus::Done);
}

TEST_F(DownloadClient, SendsTheProgramsHeaders)
{
    std::string tag = "headers-" + std::to_string(GetTickCount());
    DownloadJob* job = createDownload(server.url(L"bytes/10?tag=" + std::wstring(tag.begin(), tag.end())).c_str());
    ASSERT_EQ(waitForEnd(job), DownloadStatus::Done);
    releaseDownload(job);
    std::vector<std::string> requests = server.requests(tag);
    ASSERT_EQ(requests.size(), 1u);
    const std::string& request = requests[0];
    EXPECT_NE(request.find("[\"User-Agent\", \"Mozilla/5.0 (Windows NT 10.0; Win32; amd64;  )\"]"), std::string::npos)
        << request;
    EXPECT_NE(request.find("[\"Accept\", \"*/*\"]"), std::string::npos) << request;
    EXPECT_NE(request.find("[\"Accept-Encoding\", \"gzip,deflate\"]"), std::string::npos) << request;
    EXPECT_EQ(request.find("Proxy-Authorization"), std::string::npos) << request;
    EXPECT_NE(request.find("\"proxied\": false"), std::string::npos) << request;
}

TEST_F(DownloadClient, GoesThroughTheProxyWithItsOwnHeaders)
{
    shutdownDownloadClient();
    TempInstallDir dir;
    dir.write(L"zolt.ini", "[proxy]\r\naddress=127.0.0.1\r\nport=" + std::to_string(server.http) + "\r\n");
    ASSERT_EQ(loadSettings(dir.path().c_str(), L"\\zolt.ini", true), 0);
    buildProxyAddress();
    setProxyCredential(L"dXNlcjpwYXNz");
    startDownloadWorker(30000);

    std::string tag = "proxy-" + std::to_string(GetTickCount());
    DownloadJob* job = createDownload((L"http://origin.invalid/bytes/1000?tag=" + std::wstring(tag.begin(), tag.end())).c_str());
    EXPECT_EQ(waitForEnd(job), DownloadStatus::Done);
    releaseDownload(job);
    std::vector<std::string> requests = server.requests(tag);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find("\"GET http://origin.invalid/bytes/1000?tag="), std::string::npos) << requests[0];
    EXPECT_NE(requests[0].find("\"proxied\": true"), std::string::npos);
    EXPECT_NE(requests[0].find("[\"Proxy-Authorization\", \"Basic dXNlcjpwYXNz\"]"), std::string::npos) << requests[0];

    setProxyCredential(L"");
    dir.write(L"zolt.ini", "[other]\r\nx=1\r\n");
    buildProxyAddress();
}

TEST_F(DownloadClient, ContinuesACutBodyOnlyWhileTheServerSendsItsRest)
{
    const struct {
        std::string query;    // the first answer is cut after 100000 of 300000 bytes
        std::string asks;     // each request: p plain, e Range with If-Range an ETag, d with a date
        uint32_t carried;     // downloadResumedFrom at the end
        uint32_t size = 300000;
    } table[] = {
        {"bytes/300000?", "pe", 100000},
        {"bytes/300000?norange=1&", "pe", 0},     // 200 and the whole body: it starts over
        {"bytes/300000?range416=1&", "pep", 0},   // refused: the same job asks again, plainly
        {"bytes/300000?mode=chunked&", "pp", 0},  // no length, nothing to continue
        {"bytes/300000?validators=olddate&", "pd", 100000},
        {"bytes/300000?validators=weak&", "pp", 0},  // a date of the same second is no proof
        {"bytes/300000?gzip206=1&", "pep", 0},       // an encoded part joins nothing
        {"bytes/300000?then=400000&", "pe", 0, 400000},  // a larger file: one block of its size
        {"redirect/1/bytes/300000?deadon=2&", "ppeee", 100000},  // 2nd redirect leads nowhere: no answer
    };
    int row = 0;
    for (const auto& entry : table) {
        std::string tag = "resume-" + std::to_string(GetTickCount()) + "-" + std::to_string(row++);
        std::string query = entry.query + "cutonce=100000&tag=" + tag;
        std::wstring url = server.url(std::wstring(query.begin(), query.end()));
        SCOPED_TRACE(entry.query);
        DownloadJob* failed = createDownload(url.c_str());
        ASSERT_EQ(waitForEnd(failed), DownloadStatus::NotFound);
        DownloadJob* job = createResumedDownload(url.c_str(), failed);
        ASSERT_NE(job, nullptr);
        EXPECT_EQ(downloadStatus(failed), DownloadStatus::Unreachable);  // released
        if (entry.query.find("deadon") != std::string::npos && waitForEnd(job) == DownloadStatus::Unreachable)
            job = createResumedDownload(url.c_str(), job);  // the bytes stayed through no answer
        // Carried bytes come with the whole size, before any answer. The answer may already be
        // in: a body that starts over drops its carried count before its size, so the size read
        // first still stands while the count read after it is not 0.
        uint32_t total = 0;
        EXPECT_EQ(downloadCounts(job, nullptr, &total), 0);
        uint32_t carriedNow = downloadResumedFrom(job);
        if (entry.asks == "pp")
            EXPECT_EQ(carriedNow, 0u);  // nothing that could be continued is carried
        else if (entry.carried || carriedNow)
            EXPECT_EQ(total, 300000u);
        ASSERT_EQ(waitForEnd(job), DownloadStatus::Done);
        ASSERT_EQ(downloadSize(job), entry.size);
        EXPECT_TRUE(isPattern(downloadData(job), entry.size));
        EXPECT_EQ(downloadResumedFrom(job), entry.carried);
        // A known length gives one block of that size, never grown by copies.
        EXPECT_TRUE(entry.query.find("chunked") != std::string::npos || job->dataCapacity == entry.size + 1u);
        releaseDownload(job);

        std::string asks;
        for (const std::string& r : server.requests(tag)) {
            bool etag = r.find("[\"If-Range\", \"\\\"bytes-300000\\\"\"]") != std::string::npos;
            asks += r.find("[\"Range\", \"bytes=100000-\"]") == std::string::npos ? 'p'
                    : etag ? 'e' : r.find("[\"If-Range\", \"") != std::string::npos ? 'd' : '?';
        }
        EXPECT_EQ(asks, entry.asks);
    }
}

TEST_F(DownloadClient, KeepsTheBodyOnDiskAsItArrives)
{
    // 3 MiB cut once after 2 MiB: the copy on disk has pieces of the first answer by then, and
    // either goes on with the rest or starts over with the whole body.
    constexpr uint32_t SIZE = 3 << 20;
    TempInstallDir dir;
    const std::wstring file = dir.file(L"body.part");
    for (const char* faults : {"", "&norange=1", "&range416=1"}) {
        SCOPED_TRACE(faults);
        std::string tag = "ondisk-" + std::to_string(GetTickCount()) + faults;
        std::wstring url = server.url(L"bytes/" + std::to_wstring(SIZE) + L"?cutonce=" + std::to_wstring(2 << 20) +
                                      L"&tag=" + std::wstring(tag.begin(), tag.end()));
        DownloadJob* failed = createSavedDownload(url.c_str(), file.c_str());
        ASSERT_EQ(waitForEnd(failed), DownloadStatus::NotFound);
        EXPECT_GE(readFileBytes(file).size(), 1u << 20);  // on disk before the download ends
        DownloadJob* job = createResumedDownload(url.c_str(), failed);
        ASSERT_EQ(waitForEnd(job), DownloadStatus::Done);
        ASSERT_EQ(finishDownloadFile(job), 0);
        releaseDownload(job);  // the finished file is the caller's: it stays
        std::string bytes = readFileBytes(file);
        ASSERT_EQ(bytes.size(), SIZE);
        EXPECT_TRUE(isPattern(reinterpret_cast<const unsigned char*>(bytes.c_str()), SIZE));
    }
    // A job that does not end as Done takes its copy with it; so does one released unfinished.
    DownloadJob* missing = createSavedDownload(server.url(L"status/404").c_str(), file.c_str());
    ASSERT_EQ(waitForEnd(missing), DownloadStatus::NotFound);
    EXPECT_NE(finishDownloadFile(missing), 0);
    EXPECT_FALSE(dir.exists(L"body.part"));
    releaseDownload(missing);
    DownloadJob* slow = createSavedDownload(server.url(L"bytes/3000000?rate=1000000").c_str(), file.c_str());
    ASSERT_TRUE(waitForBytes(slow, 1));
    releaseDownload(slow);
    for (int waited = 0; waited < 100 && dir.exists(L"body.part"); ++waited)
        Sleep(50);  // the worker ends the released transfer on its next cycle
    EXPECT_FALSE(dir.exists(L"body.part"));
}
