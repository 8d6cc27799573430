#include "download_client.h"

#include "download_job.h"
#include "files.h"
#include "memory_warmer.h"
#include "request_setup.h"
#include "result_codes.h"
#include "text.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

std::atomic<uint32_t> stallTimeout{DEFAULT_STALL_TIMEOUT_MS};

namespace {

constexpr uint64_t LARGEST_CHUNK = 0x10000000;     // 256 MiB in one write callback
constexpr uint64_t LARGEST_BODY = 0xFFFFFFFE;      // bodies are counted in 32 bits
constexpr long WAIT_WHILE_BUSY_MS = 5;
constexpr long WAIT_WHILE_IDLE_MS = 100;
// The body's copy on disk is written in pieces of at least this much: few calls, and a small tail
// left for the end of the download.
constexpr uint32_t BODY_FILE_PIECE = 1 << 20;
constexpr uint64_t WARM_AHEAD_MIN_BYTES = 1 << 20;  // a smaller rest is not worth a thread
constexpr long MULTI_MAX_CONNECTS = 64;
constexpr long MULTI_MAX_HOST_CONNECTIONS = 4;
constexpr long MULTI_MAX_CONCURRENT_STREAMS = 10;
constexpr size_t BYTE_COUNT_CAPACITY = 32;
constexpr unsigned TEXT_WAITING = 27;    // string ids of the status texts; the table has none
constexpr unsigned TEXT_NO_TRANSFER = 62;
constexpr unsigned TEXT_PROGRESS = 141;
// A Last-Modified this much older than its answer's Date names one version of the resource;
// a younger one may be shared by two versions written within the same second.
constexpr time_t STRONG_DATE_AGE_S = 60;

DownloadJob* jobList;                    // main thread only
std::vector<DownloadJob*> activeJobs;    // under jobLock
std::recursive_mutex jobLock;
std::thread workerThread;
std::atomic<bool> workerRunning;
std::atomic<bool> workerFailed;          // the worker left its loop because libcurl failed
std::atomic<DownloadEndNotice> endNotice;
CURLM* workerMulti;                      // worker thread only
wchar_t byteCountText[BYTE_COUNT_CAPACITY];

using Hold = std::lock_guard<std::recursive_mutex>;

void tellJobEnded()
{
    if (DownloadEndNotice notice = endNotice)
        notice();
}

bool isDestroyed(const DownloadJob* job)
{
    return job->released > 1 || job->timedOut > 1;
}

bool isActive(const DownloadJob* job)
{
    for (const DownloadJob* entry : activeJobs) {
        if (entry == job)
            return true;
    }
    return false;
}

void removeActive(const DownloadJob* job)
{
    for (auto entry = activeJobs.begin(); entry != activeJobs.end(); ++entry) {
        if (*entry == job) {
            activeJobs.erase(entry);
            return;
        }
    }
}

// Ends the job's copy on disk: kept (the caller's from now on) or deleted. False when the
// closing failed.
bool closeBodyFile(DownloadJob* job, bool keep)
{
    if (!job->bodyFile)
        return false;
    bool closed = CloseHandle(job->bodyFile) != FALSE;
    job->bodyFile = nullptr;
    if (!keep)
        (void)deleteFile(job->bodyFilePath);  // a copy that cannot go is made anew by the next run
    return closed;
}

// Cuts the copy on disk to length bytes of the body. The worker, or the main thread for a job
// the worker does not hold.
void cutBodyFile(DownloadJob* job, uint32_t length)
{
    if (!job->bodyFile || job->bodyFileLength <= length)
        return;
    LARGE_INTEGER end;
    end.QuadPart = length;
    if (!SetFilePointerEx(job->bodyFile, end, nullptr, FILE_BEGIN) || !SetEndOfFile(job->bodyFile))
        job->bodyFileFailed = true;
    job->bodyFileLength = length;
}

// Writes the body's bytes up to end that the copy on disk lacks, once at least minimum of them
// wait. Same threads as cutBodyFile.
void writeBodyFile(DownloadJob* job, uint32_t end, uint32_t minimum)
{
    if (!job->bodyFile || job->bodyFileFailed || end <= job->bodyFileLength || end - job->bodyFileLength < minimum)
        return;
    while (job->bodyFileLength < end) {
        uint32_t left = end - job->bodyFileLength;
        DWORD piece = left < WRITE_PIECE_SIZE ? left : static_cast<DWORD>(WRITE_PIECE_SIZE);
        DWORD written = 0;
        if (!WriteFile(job->bodyFile, job->data + job->bodyFileLength, piece, &written, nullptr) || written != piece) {
            job->bodyFileFailed = true;  // a full disk: the copy is given up, the body in memory stays
            return;
        }
        job->bodyFileLength += piece;
    }
}

void destroyJob(DownloadJob* job)
{
    if (isDestroyed(job))
        return;  // freed once already
    (void)closeBodyFile(job, false);  // an unfinished copy is of no use to anyone
    if (CURL* transfer = job->transfer.exchange(nullptr))
        curl_easy_cleanup(transfer);
    curl_slist_free_all(job->requestHeaders);
    curl_slist_free_all(job->proxyHeaders);
    job->released = DESTROYED_RELEASED_MARK;
    job->timedOut = DESTROYED_TIMED_OUT_MARK;
    stopWarming(job->data);
    free(job->data);
    delete job;
}

// The announced body length, when the response has one. The worker thread only.
bool announcedLength(CURL* transfer, uint64_t* length)
{
    curl_off_t announced = -1;
    if (curl_easy_getinfo(transfer, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) != CURLE_OK ||
        announced <= 0)
        return false;
    *length = static_cast<uint64_t>(announced);
    return true;
}

long responseCode(CURL* transfer)
{
    long code = 0;
    (void)curl_easy_getinfo(transfer, CURLINFO_RESPONSE_CODE, &code);  // stays 0 without a response
    return code;
}

bool hasHeader(CURL* transfer, const char* name)
{
    curl_header* header = nullptr;
    return curl_easy_header(transfer, name, 0, CURLH_HEADER, -1, &header) == CURLHE_OK && header->value;
}

// One header of the final response, whole, into buffer; false when absent or too long.
bool responseHeader(CURL* transfer, const char* name, char* buffer, size_t size)
{
    curl_header* header = nullptr;
    if (curl_easy_header(transfer, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK || !header->value)
        return false;
    size_t length = strlen(header->value);
    if (length == 0 || length >= size)
        return false;
    memcpy(buffer, header->value, length + 1);
    return true;
}

void forgetValidator(DownloadJob* job)
{
    job->validator[0] = 0;
    job->wholeLength = LENGTH_UNKNOWN;
}

// Whether the body comes in a coding (libcurl is not asked to undo any): such bytes are not
// the resource's, and a part of them cannot be joined to another.
bool isEncoded(CURL* transfer)
{
    const struct {
        const char* name;
        const char* plain;
    } codings[] = {{"Content-Encoding", "identity"}, {"Transfer-Encoding", "chunked"}};
    for (const auto& coding : codings) {
        char value[VALIDATOR_CAPACITY];
        if (hasHeader(transfer, coding.name) &&
            !(responseHeader(transfer, coding.name, value, VALIDATOR_CAPACITY) && curl_strequal(value, coding.plain)))
            return true;
    }
    return false;
}

// The validator that names the very bytes of this answer, into value: its strong ETag; when it
// has no ETag at all, its Last-Modified if that is old enough against its Date. False when the
// answer has none, or an encoded body.
bool strongValidator(CURL* transfer, char* value)
{
    if (isEncoded(transfer))
        return false;
    if (hasHeader(transfer, "ETag"))  // a weak or overlong one is never traded for a date
        return responseHeader(transfer, "ETag", value, VALIDATOR_CAPACITY) && strncmp(value, "W/", 2) != 0;
    char date[VALIDATOR_CAPACITY];
    if (!responseHeader(transfer, "Last-Modified", value, VALIDATOR_CAPACITY) ||
        !responseHeader(transfer, "Date", date, VALIDATOR_CAPACITY))
        return false;
    time_t modified = curl_getdate(value, nullptr);
    time_t answered = curl_getdate(date, nullptr);
    return modified != -1 && answered != -1 && modified <= answered - STRONG_DATE_AGE_S;
}

// Keeps what a later job needs to continue the body that this 200 answer delivers: its
// strong validator and its whole length.
void noteValidator(DownloadJob* job, CURL* transfer)
{
    forgetValidator(job);
    uint64_t announced = 0;
    char value[VALIDATOR_CAPACITY];
    if (responseCode(transfer) != 200 || !announcedLength(transfer, &announced) || announced > LARGEST_BODY ||
        !strongValidator(transfer, value))
        return;
    memcpy(job->validator, value, VALIDATOR_CAPACITY);
    job->wholeLength = static_cast<uint32_t>(announced);
}

// The body checks refused the body under the status they set; such a body is never continued.
void refuseBody(DownloadJob* job, int httpStatus)
{
    job->httpStatus = httpStatus;
    forgetValidator(job);
}

// Drops the carried bytes: the body begins again at its first byte, in a block of its own
// that its first chunk sizes to the new length (growing the old one would copy it).
// received goes before resumedFrom, so that the main thread, reading them the other way round,
// never takes carried bytes for new ones.
void startBodyOver(DownloadJob* job)
{
    job->dataLength = 0;
    job->received = 0;
    stopWarming(job->data);
    free(job->data);  // before the new block: never both at once
    job->data = static_cast<unsigned char*>(calloc(1, 1));
    job->dataCapacity = job->data ? 1 : 0;
    job->resumedFrom = 0;
    job->length = LENGTH_UNKNOWN;
    job->continued = false;
    forgetValidator(job);
    cutBodyFile(job, 0);
}

// Whether the answer is exactly the rest of the carried body: "bytes N-(T-1)/T" for the carried
// count N and the whole length T, and no other length.
bool isRestOfBody(const DownloadJob* job, CURL* transfer)
{
    char range[VALIDATOR_CAPACITY];
    unsigned long long first = 0;
    unsigned long long last = 0;
    unsigned long long total = 0;
    char more = 0;
    if (!responseHeader(transfer, "Content-Range", range, VALIDATOR_CAPACITY) ||
        sscanf(range, "bytes %llu-%llu/%llu%c", &first, &last, &total, &more) != 3)
        return false;
    uint64_t announced = 0;
    return first == job->resumedFrom && total == job->wholeLength && last + 1 == total &&
           (!announcedLength(transfer, &announced) || announced == total - first);
}

// Whether the answer names the same bytes as the one the carried body came with.
bool sameValidator(const DownloadJob* job, CURL* transfer)
{
    char value[VALIDATOR_CAPACITY];
    return strongValidator(transfer, value) && strcmp(value, job->validator) == 0;
}

// Looks once at the answer to a request: a plain one leaves its validator for a later job; one
// that asked for the rest of a carried body goes on with a 206 that is that rest of those very
// bytes, starts the body over with a 200, and is refused for anything else (416, another range
// or resource, an encoded part, no range): some servers ignore If-Range.
void judgeResponse(DownloadJob* job, CURL* transfer)
{
    job->responseJudged = true;
    if (job->resumedFrom == 0) {
        noteValidator(job, transfer);
        return;
    }
    long code = responseCode(transfer);
    if (code == 206 && isRestOfBody(job, transfer) && sameValidator(job, transfer)) {
        job->continued = true;
    } else if (code == 200) {
        startBodyOver(job);
        noteValidator(job, transfer);
    } else {
        job->rangeRefused = true;
    }
}

// Frees what a job's transfer held: its header lists and the transfer itself. Under jobLock.
void releaseTransfer(DownloadJob* job, CURL* transfer)
{
    curl_slist_free_all(job->requestHeaders);
    curl_slist_free_all(job->proxyHeaders);
    job->requestHeaders = nullptr;
    job->proxyHeaders = nullptr;
    job->transfer = nullptr;
    curl_easy_cleanup(transfer);
}

// The answer refused the rest of the carried body: the same job asks again for the whole, as a
// plain request, on the worker's next cycle. No reconnect is spent on it. Under jobLock.
void askAgainPlainly(DownloadJob* job, CURL* transfer)
{
    releaseTransfer(job, transfer);
    startBodyOver(job);
    job->responseJudged = job->rangeRefused = false;
    job->httpStatus = 0;
    job->status = DownloadStatus::Queued;
    try {
        activeJobs.push_back(job);
    } catch (const std::bad_alloc&) {
        job->length = 0;
        job->status = DownloadStatus::NotFound;  // as any other failure
    }
}

// An HTML page instead of the archive: "<!", "<htm" or "<HTM" at the start of the body.
bool looksLikeHtml(const DownloadJob* job)
{
    const unsigned char* data = job->data;
    if (job->received < 4 || !data)
        return false;
    return (data[0] == '<' && data[1] == '!') || memcmp(data, "<htm", 4) == 0 || memcmp(data, "<HTM", 4) == 0;
}

// The status an HTML page stands for: 304 when it says "(304)", else 404.
int htmlPageStatus(const DownloadJob* job)
{
    return strstr(reinterpret_cast<const char*>(job->data), "(304)") ? 304 : 404;
}

// Makes room for more bytes and the terminating 0. The first block is sized to the announced
// length, so a body whose length is known is never copied; otherwise the block grows by half
// its size, so the copies add up to a small multiple of the body.
bool growBody(DownloadJob* job, uint64_t more)
{
    uint64_t needed = uint64_t(job->dataLength) + more + 1;
    if (needed > LARGEST_BODY + 1)
        return false;
    if (needed <= job->dataCapacity)
        return true;
    uint64_t capacity = job->dataCapacity + job->dataCapacity / 2;
    uint64_t announced = 0;
    if (job->dataLength == 0 && announcedLength(job->transfer, &announced)) {
        if (announced > LARGEST_BODY)
            return false;
        capacity = announced + 1;
    }
    if (capacity < needed)
        capacity = needed;
    if (capacity > LARGEST_BODY + 1)
        capacity = LARGEST_BODY + 1;
    stopWarming(job->data);  // the block may move
    auto* grown = static_cast<unsigned char*>(realloc(job->data, static_cast<size_t>(capacity)));
    if (!grown)
        return false;
    job->data = grown;
    job->dataCapacity = static_cast<size_t>(capacity);
    if (capacity - needed >= WARM_AHEAD_MIN_BYTES)
        startWarming(grown, static_cast<size_t>(needed), static_cast<size_t>(capacity));
    return true;
}

// A redirect refused for its scheme fails as an unsupported protocol, as a bad first address
// does; after a followed redirect it is a redirect failure like the others.
bool isRefusedRedirect(CURL* transfer, CURLcode result)
{
    long redirects = 0;
    return result == CURLE_UNSUPPORTED_PROTOCOL &&
           curl_easy_getinfo(transfer, CURLINFO_REDIRECT_COUNT, &redirects) == CURLE_OK && redirects > 0;
}

int statusForFailure(CURL* transfer, CURLcode result)
{
    if (isRefusedRedirect(transfer, result))
        return DownloadStatus::NotFound;
    if (result >= CURLE_UNSUPPORTED_PROTOCOL && result <= CURLE_WEIRD_SERVER_REPLY)
        return DownloadStatus::Unreachable;
    if (result == CURLE_OPERATION_TIMEDOUT)
        return DownloadStatus::TimedOut;
    return DownloadStatus::NotFound;  // CURLE_REMOTE_ACCESS_DENIED, TLS, receive, redirects, ...
}

// The final status of a transfer that was neither released nor timed out.
int finalStatus(DownloadJob* job, CURL* transfer, CURLcode result)
{
    if (job->httpStatus == 0)
        job->httpStatus = static_cast<int32_t>(responseCode(transfer));
    int httpStatus = job->httpStatus;
    if (job->continued && httpStatus == 206)
        httpStatus = 200;  // the rest of a body begun earlier: judged as the whole
    bool shortBody = false;
    uint64_t announced = 0;
    if (httpStatus == 200 && job->continued) {
        shortBody = job->received != job->length;  // the whole body against the whole length
    } else if (httpStatus == 200 && job->length == LENGTH_UNKNOWN && announcedLength(transfer, &announced)) {
        job->length = static_cast<uint32_t>(announced);
        shortBody = announced != job->received;
    }

    int status;
    if (httpStatus == 304)
        status = DownloadStatus::NotModified;
    else if (httpStatus == 400)
        status = DownloadStatus::BadRequest;
    else if (httpStatus == 404)
        status = DownloadStatus::NotFound;
    else if (result == CURLE_OK && !shortBody)
        status = httpStatus != 200 ? DownloadStatus::TimedOut
                 : job->received == 0 ? DownloadStatus::EmptyBody
                                      : DownloadStatus::Done;
    else
        status = shortBody ? DownloadStatus::NotFound : statusForFailure(transfer, result);

    if (httpStatus == 200 && looksLikeHtml(job)) {
        refuseBody(job, htmlPageStatus(job));
        status = job->httpStatus == 304 ? DownloadStatus::NotModified : DownloadStatus::NotFound;
    }
    return status;
}

// Runs the active list once: sets up queued jobs, learns announced lengths, and ends the jobs
// that were released or found stalled. Worker thread, under jobLock.
void serviceActiveJobs()
{
    for (size_t index = 0; index < activeJobs.size();) {
        DownloadJob* job = activeJobs[index];
        if (!job || isDestroyed(job)) {
            activeJobs.erase(activeJobs.begin() + static_cast<ptrdiff_t>(index));
            continue;
        }
        CURL* transfer = job->transfer;
        if (!job->released && !job->timedOut) {
            if (!transfer)
                setupRequest(workerMulti, job);  // may end the job and take it off the list
        } else {
            CURLcode result = job->timedOut ? CURLE_OPERATION_TIMEDOUT : CURLE_ABORTED_BY_CALLBACK;
            if (!transfer || !completeDownload(transfer, result)) {
                removeActive(job);
                if (job->released)
                    destroyJob(job);
            }
        }
        if (index < activeJobs.size() && activeJobs[index] == job)
            ++index;
    }
}

void configureMulti(CURLM* multi)
{
    // Results are ignored: a refused option leaves libcurl's default, which works as well.
    (void)curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    (void)curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, MULTI_MAX_CONNECTS);
    (void)curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, MULTI_MAX_HOST_CONNECTIONS);
    (void)curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, MULTI_MAX_CONCURRENT_STREAMS);
}

void runWorker()
{
    CURLM* multi = curl_multi_init();
    {
        Hold hold(jobLock);  // the shutdown wakes the worker through it
        workerMulti = multi;
    }
    bool failed = workerMulti == nullptr;
    if (workerMulti) {
        configureMulti(workerMulti);
        int wasRunning = 0;
        while (workerRunning) {
            int running = 0;
            if (curl_multi_perform(workerMulti, &running) != CURLM_OK) {
                failed = true;
                break;
            }
            // A transfer that has just ended is handed back at once, not after an idle wait.
            long wait = running < wasRunning ? 0 : running ? WAIT_WHILE_BUSY_MS : WAIT_WHILE_IDLE_MS;
            wasRunning = running;
            if (curl_multi_poll(workerMulti, nullptr, 0, static_cast<int>(wait), nullptr) != CURLM_OK) {
                failed = true;
                break;
            }
            Hold hold(jobLock);
            int pending = 0;
            while (CURLMsg* message = curl_multi_info_read(workerMulti, &pending)) {
                if (message->msg == CURLMSG_DONE)
                    (void)completeDownload(message->easy_handle, message->data.result);  // unknown: cleaned up
            }
            serviceActiveJobs();
        }
    }

    Hold hold(jobLock);
    for (DownloadJob* job : activeJobs) {
        if (CURL* transfer = job->transfer.exchange(nullptr)) {
            (void)curl_multi_remove_handle(workerMulti, transfer);  // the handle goes either way
            curl_easy_cleanup(transfer);
        }
        // Nobody drives these jobs any more: a final status keeps their callers from waiting
        // without end.
        if (failed)
            job->status = DownloadStatus::TimedOut;
    }
    activeJobs.clear();
    if (workerMulti)
        (void)curl_multi_cleanup(workerMulti);  // nothing is left to hand back
    workerMulti = nullptr;
    workerFailed = failed;
    workerRunning = false;
    if (failed)
        tellJobEnded();
}

DownloadJob* findJob(const DownloadJob* job)
{
    for (DownloadJob* entry = jobList; entry; entry = entry->next) {
        if (entry == job)
            return entry;
    }
    return nullptr;
}

uint32_t expectedTotal(const DownloadJob* job)
{
    uint32_t length = job->length;
    if (length != LENGTH_UNKNOWN)
        return length;
    uint32_t received = job->received;
    return job->transfer ? received + ESTIMATE_MARGIN : received;
}

}  // namespace

bool completeDownload(CURL* transfer, CURLcode result)
{
    (void)curl_multi_remove_handle(workerMulti, transfer);  // not added is fine too
    DownloadJob* job = nullptr;
    for (DownloadJob* entry : activeJobs) {
        if (entry && entry->transfer == transfer)
            job = entry;
    }
    if (!job) {
        curl_easy_cleanup(transfer);
        return false;
    }
    removeActive(job);
    job->lastActivity = millisecondClock();
    if (!job->released && !job->timedOut) {
        // An answer without a body is judged here; no answer at all keeps the carried bytes. A
        // redirect whose target failed is no answer either: libcurl still reports its code.
        long code = responseCode(transfer);
        bool answered = code != 0 && (result == CURLE_OK || code / 100 != 3);
        if (job->resumedFrom > 0 && !job->responseJudged && answered)
            judgeResponse(job, transfer);
        if (job->rangeRefused) {
            askAgainPlainly(job, transfer);
            return true;
        }
    }

    int status;
    if (job->released)
        status = DownloadStatus::Released;
    else if (job->timedOut)
        status = DownloadStatus::TimedOut;
    else
        status = finalStatus(job, transfer, result);

    releaseTransfer(job, transfer);
    if (job->length == LENGTH_UNKNOWN)
        job->length = job->received.load();
    job->status = status;  // last: a caller that reads the final status finds the body whole
    if (job->released == 1)
        destroyJob(job);
    else
        tellJobEnded();
    return true;
}

size_t receiveBody(char* bytes, size_t itemSize, size_t itemCount, void* userData)
{
    auto* job = static_cast<DownloadJob*>(userData);
    uint64_t count = uint64_t(itemSize) * itemCount;
    if (job->released)
        return 0;  // libcurl aborts the transfer
    if (!job->responseJudged) {
        judgeResponse(job, job->transfer);
        if (job->rangeRefused)
            return 0;  // the completion asks again, plainly
        // The length is taken with the body's first bytes, before they are counted, so that
        // the count and the total are shown together. Only the final response's body comes
        // here, while a followed redirect's length may still be reported until then.
        uint64_t announced = 0;
        if (job->length == LENGTH_UNKNOWN && announcedLength(job->transfer, &announced) && announced <= LARGEST_BODY)
            job->length = static_cast<uint32_t>(announced);
    }
    uint32_t length = job->length;
    if (length != LENGTH_UNKNOWN && job->dataLength + count > length) {
        forgetValidator(job);  // bytes past the total: this body is not the one announced
        return 0;
    }
    if (count > LARGEST_CHUNK || !growBody(job, count)) {
        refuseBody(job, 400);
        return 0;
    }
    keepWarmerBelow(job->data, job->dataLength + static_cast<size_t>(count) + 1);
    memcpy(job->data + job->dataLength, bytes, static_cast<size_t>(count));
    job->dataLength += static_cast<uint32_t>(count);
    job->data[job->dataLength] = 0;
    job->lastActivity = millisecondClock();
    job->received = job->dataLength;
    if (job->received == count && looksLikeHtml(job)) {  // the body's first bytes only
        refuseBody(job, htmlPageStatus(job));
        return 0;
    }
    writeBodyFile(job, job->dataLength, BODY_FILE_PIECE);
    return static_cast<size_t>(count);
}

void startDownloadWorker(int stallTimeoutMs)
{
    stallTimeout = stallTimeoutMs < 1000 ? DEFAULT_STALL_TIMEOUT_MS : static_cast<uint32_t>(stallTimeoutMs);
    if (workerThread.joinable())
        shutdownDownloadClient();
    (void)curl_global_init(CURL_GLOBAL_ALL);  // a failure shows as jobs that cannot connect
    workerFailed = false;
    workerRunning = true;
    workerThread = std::thread(runWorker);  // a failure to start ends the process
}

void setDownloadEndNotice(DownloadEndNotice notice)
{
    endNotice = notice;
}

void shutdownDownloadClient()
{
    if (workerThread.joinable()) {
        workerRunning = false;
        {
            // A worker waiting for its network need not finish its wait to see the stop.
            Hold hold(jobLock);
            if (workerMulti)
                (void)curl_multi_wakeup(workerMulti);  // a failed wakeup only leaves the wait to end by itself
        }
        workerThread.join();
    }
    {
        Hold hold(jobLock);
        activeJobs.clear();
    }
    while (DownloadJob* job = jobList) {
        jobList = job->next;
        destroyJob(job);
    }
    curl_global_cleanup();
}

namespace {

// A queued job for url, not yet listed; null as createDownload says.
DownloadJob* newJob(const wchar_t* url)
{
    if (!url || wcslen(url) > DOWNLOAD_URL_MAX_CHARS || url[0] == L':')
        return nullptr;
    auto* job = new (std::nothrow) DownloadJob();
    if (!job)
        return nullptr;
    const wchar_t* stored = wcsncmp(url, L"http://", 7) == 0 ? url + 7 : url;
    wcscpy(job->url, stored);
    job->length = LENGTH_UNKNOWN;
    job->wholeLength = LENGTH_UNKNOWN;
    job->createdAt = millisecondClock();
    job->lastActivity = job->createdAt;
    job->status = DownloadStatus::Queued;
    return job;
}

// Hands the job to the worker and links it into the job list; destroys it and gives null when
// there is no room.
DownloadJob* listJob(DownloadJob* job)
{
    Hold hold(jobLock);
    if (workerFailed) {
        job->status = DownloadStatus::TimedOut;  // no worker will ever take it
    } else {
        try {
            activeJobs.push_back(job);
        } catch (const std::bad_alloc&) {
            destroyJob(job);
            return nullptr;
        }
        // An idle worker waits up to its idle period before it looks at its list again.
        if (workerMulti)
            (void)curl_multi_wakeup(workerMulti);  // a failed wakeup only leaves the wait to end by itself
    }
    job->next = jobList;
    jobList = job;
    return job;
}

// Moves the body of failed, an ended job whose answer named a validator and the whole length,
// into job: the block changes hands, nothing is copied.
void carryBody(DownloadJob* job, DownloadJob* failed)
{
    DownloadJob* found = findJob(failed);
    if (!found)
        return;
    Hold hold(jobLock);
    if (isActive(found) || found->transfer)
        return;  // still the worker's
    // The copy on disk goes along with the body, or starts over as the body does.
    job->bodyFile = found->bodyFile;
    job->bodyFileLength = found->bodyFileLength;
    job->bodyFileFailed = found->bodyFileFailed;
    memcpy(job->bodyFilePath, found->bodyFilePath, sizeof job->bodyFilePath);
    found->bodyFile = nullptr;
    uint32_t received = found->received;
    if (found->released || !found->data || !found->validator[0] || found->wholeLength == LENGTH_UNKNOWN ||
        received == 0 || received >= found->wholeLength || found->dataLength != received) {
        cutBodyFile(job, 0);
        return;  // nothing that can be continued
    }
    stopWarming(found->data);  // the new job's transfer fills the rest as it comes
    job->data = found->data;
    job->dataCapacity = found->dataCapacity;
    job->dataLength = received;
    job->received = received;
    memcpy(job->validator, found->validator, VALIDATOR_CAPACITY);
    job->wholeLength = found->wholeLength;
    job->length = found->wholeLength;  // the whole size is shown from the start
    job->resumedFrom = received;
    found->data = nullptr;
    found->dataCapacity = 0;
    found->dataLength = 0;
    found->received = 0;
}

}  // namespace

DownloadJob* createDownload(const wchar_t* url)
{
    DownloadJob* job = newJob(url);
    return job ? listJob(job) : nullptr;
}

DownloadJob* createSavedDownload(const wchar_t* url, const wchar_t* path)
{
    DownloadJob* job = newJob(url);
    if (!job)
        return nullptr;
    if (path && formatText(job->bodyFilePath, BODY_FILE_PATH_CAPACITY, L"%s", path) > 0) {
        (void)deleteFile(path);  // also a read-only one; a file that stays fails the open below
        HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        job->bodyFile = file == INVALID_HANDLE_VALUE ? nullptr : file;  // none: the caller writes the body itself
    }
    return listJob(job);
}

int finishDownloadFile(DownloadJob* job)
{
    DownloadJob* found = findJob(job);
    if (!found)
        return RESULT_FILE_WRITE;
    Hold hold(jobLock);
    if (!found->bodyFile || isActive(found) || found->transfer)
        return RESULT_FILE_WRITE;
    uint32_t size = found->status == DownloadStatus::Done ? downloadSize(found) : 0;  // 0: nothing to keep
    cutBodyFile(found, size);  // a body that ran past its length
    writeBodyFile(found, size, 0);
    bool whole = !found->bodyFileFailed && found->bodyFileLength == size && size > 0;
    if (!closeBodyFile(found, whole) || !whole) {
        (void)deleteFile(found->bodyFilePath);  // nothing half written stays
        return RESULT_FILE_WRITE;
    }
    return RESULT_OK;
}

DownloadJob* createResumedDownload(const wchar_t* url, DownloadJob* failed)
{
    DownloadJob* job = newJob(url);
    if (job)
        carryBody(job, failed);
    releaseDownload(failed);
    return job ? listJob(job) : nullptr;
}

uint32_t downloadResumedFrom(const DownloadJob* job)
{
    const DownloadJob* found = findJob(job);
    return found ? found->resumedFrom.load() : 0;
}

void releaseDownload(DownloadJob* job)
{
    DownloadJob** link = &jobList;
    while (*link && *link != job)
        link = &(*link)->next;
    if (!*link)
        return;
    *link = job->next;

    Hold hold(jobLock);
    bool active = isActive(job);
    if (job->transfer && active) {
        job->released = 1;  // the worker aborts the transfer and destroys the job
    } else {
        if (active)
            removeActive(job);
        destroyJob(job);
    }
}

int downloadStatus(const DownloadJob* job)
{
    const DownloadJob* found = findJob(job);
    return found ? found->status.load() : DownloadStatus::Unreachable;
}

int downloadCounts(const DownloadJob* job, uint32_t* received, uint32_t* total)
{
    const DownloadJob* found = findJob(job);
    if (!found)
        return -1;
    if (received)
        *received = found->received;
    if (total)
        *total = expectedTotal(found);
    return 0;
}

const unsigned char* downloadData(const DownloadJob* job)
{
    const DownloadJob* found = findJob(job);
    if (!found || found->released || found->timedOut)
        return nullptr;
    return found->data;
}

unsigned char* takeDownloadData(DownloadJob* job, size_t* capacity)
{
    DownloadJob* found = findJob(job);
    if (!found || !capacity)
        return nullptr;
    Hold hold(jobLock);
    if (found->status != DownloadStatus::Done || isActive(found) || found->transfer || found->released)
        return nullptr;
    unsigned char* data = found->data;
    stopWarming(data);
    *capacity = found->dataCapacity;
    found->data = nullptr;
    found->dataCapacity = 0;
    return data;
}

uint32_t downloadSize(const DownloadJob* job)
{
    const DownloadJob* found = findJob(job);
    if (!found || found->released || found->timedOut)
        return 0;
    uint32_t length = found->length;
    uint32_t received = found->received;
    return length < received ? length : received;  // never more than the block holds
}

const wchar_t* downloadStatusText(DownloadJob* job)
{
    DownloadJob* found = findJob(job);
    if (!found)
        return L"";
    // The request setup gives a job its body block before its transfer, so a transfer implies data.
    if (!found->transfer)
        return loadText(TEXT_NO_TRANSFER);
    // Carried bytes are not news from this transfer: a job that carries some in gets the same
    // grace for its first new byte as one that starts afresh. Read in this order, as the
    // worker writes them the other way round.
    uint32_t carried = found->resumedFrom;
    uint32_t received = found->received;
    if (received > carried) {
        wchar_t done[BYTE_COUNT_CAPACITY];
        wchar_t total[BYTE_COUNT_CAPACITY];
        (void)formatText(done, BYTE_COUNT_CAPACITY, L"%s", formatByteCount(received));
        (void)formatText(total, BYTE_COUNT_CAPACITY, L"%s", formatByteCount(expectedTotal(found)));
        return loadText(TEXT_PROGRESS, done, total);
    }
    uint32_t now = millisecondClock();
    if (now - found->createdAt < STATUS_TEXT_GRACE_MS)
        found->lastActivity = now;
    return loadText(TEXT_WAITING);
}

const wchar_t* formatByteCount(uint32_t bytes)
{
    float value = static_cast<float>(bytes);
    const wchar_t* unit = L"b";
    if (value >= 1024.0f) {
        value *= 1.0f / 1024.0f;
        unit = L"Kb";
        if (value >= 1024.0f) {
            value *= 1.0f / 1024.0f;
            unit = L"Mb";
        }
    }
    (void)formatText(byteCountText, BYTE_COUNT_CAPACITY, L"%1.1f%s", value, unit);  // always fits
    return byteCountText;
}

void sweepStalledDownloads()
{
    Hold hold(jobLock);
    uint32_t limit = stallTimeout;
    for (DownloadJob* job = jobList; job; job = job->next) {
        // The worker may note activity at any moment: read it before the clock, so that the
        // difference of the two 32-bit readings (right across the clock's wrap) is never negative.
        uint32_t last = job->lastActivity;
        if (job->transfer && millisecondClock() - last > limit)
            job->timedOut = 1;
    }
}

uint32_t downloadStallTimeout()
{
    return stallTimeout;
}
