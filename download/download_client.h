// Download client: whole HTTP(S) resources fetched into memory by one worker thread over
// libcurl's multi interface. Callers hold DownloadJob handles and poll them; every operation
// here is for the main thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct DownloadJob;

// Status codes of a job. Queued and Transferring mean running; all others are final.
namespace DownloadStatus {
enum : int {
    Done = 0,           // HTTP 200, a non-empty body that is not an HTML page
    Queued = 1,         // the worker has not set up the request yet
    Transferring = 2,
    TimedOut = 3,       // stalled, timed out, refused by libcurl, or an unexpected HTTP status
    BadRequest = 6,     // HTTP 400, or the body could not be taken (too large, no memory)
    EmptyBody = 8,      // HTTP 200 without a body
    NotModified = 9,    // HTTP 304, or an HTML page that says "(304)"
    NotFound = 11,      // HTTP 404, an HTML page, a short body, a refused redirect, any other failure
    Released = 14,      // released while transferring; the record is gone
    Unreachable = 15,   // bad address, proxy or host not resolved, no connection; unknown handle
    NoTransfer = 400,   // no libcurl handle could be made; retried on the next worker cycle
};
}

constexpr uint32_t LENGTH_UNKNOWN = 0xF0F0F0F0;
constexpr uint32_t DEFAULT_STALL_TIMEOUT_MS = 16000;   // below 1000 ms, and before the start
constexpr uint32_t STATUS_TEXT_GRACE_MS = 30000;       // no stall while nothing came yet
constexpr uint32_t ESTIMATE_MARGIN = 4096;             // added to the total while it is unknown
constexpr size_t DOWNLOAD_URL_MAX_CHARS = 1000;

// Starts the worker with the idle time after which a transfer counts as stalled (16000 ms
// when below 1000). A worker that exists already is shut down first, with all its jobs.
void startDownloadWorker(int stallTimeoutMs);

// Ends the worker, destroys every job and releases libcurl. Safe without a worker.
void shutdownDownloadClient();

// Called on the worker thread whenever a job takes its final status, so that its owner need
// not wait for its next poll to learn of it. It must not block or call into this client.
using DownloadEndNotice = void (*)();
// Sets the notice (null: none).
void setDownloadEndNotice(DownloadEndNotice notice);

// A new queued job for url (at most 1000 characters; a leading lower-case "http://" is
// dropped), or null for a longer url, one that begins with a colon, or no memory.
DownloadJob* createDownload(const wchar_t* url);

// As createDownload, for a job that also keeps its body on disk, in a file at path made anew:
// the file follows the body as it arrives and moves with it to a resumed job.
// finishDownloadFile completes it; a job released or ended otherwise deletes it. A file that
// cannot be made or written only leaves the job without its copy on disk.
DownloadJob* createSavedDownload(const wchar_t* url, const wchar_t* path);

// For a job that ended as Done: writes the rest of its body to its file, makes the file exactly
// downloadSize bytes long and closes it; the file is the caller's from then on. RESULT_OK, or
// RESULT_FILE_WRITE when the job keeps no usable copy (the file, if any, is then deleted).
[[nodiscard]] int finishDownloadFile(DownloadJob* job);

// A new queued job for url that goes on where failed stopped: when failed has ended after body
// bytes of an unencoded response that named its length and a strong validator (a strong ETag;
// without any ETag, a Last-Modified at least 60 s older than its Date), its bytes move into the
// new job (no copy) and the request asks only for the rest, on the condition that the resource
// is unchanged. The rest is taken only from a 206 that names the same validator, unencoded.
// Otherwise, and when the server answers with the whole body, the body starts over; an answer
// that is neither is asked again as a plain request by the same job. A failed follow of a
// redirect is no answer: the bytes stay for the next job. failed (may be null) is released in
// every case. Null as for createDownload.
DownloadJob* createResumedDownload(const wchar_t* url, DownloadJob* failed);

// Bytes that the job carried in from an earlier one: 0 for a plain request, and once the
// server has started the body over.
uint32_t downloadResumedFrom(const DownloadJob* job);

// Gives the job up; the handle is dead afterwards. A transfer in progress is aborted.
void releaseDownload(DownloadJob* job);

// The job's status; Unreachable for a handle that is not (or no longer) a job.
int downloadStatus(const DownloadJob* job);

// Bytes received and the expected total (the announced length, else received + 4096 while
// transferring, else received). 0, or -1 for an unknown handle (outputs untouched).
int downloadCounts(const DownloadJob* job, uint32_t* received, uint32_t* total);

// The received bytes, followed by a 0 byte, valid until the job is released. Null for an
// unknown handle and for a released or timed-out job. Meant for a job that ended as Done.
const unsigned char* downloadData(const DownloadJob* job);

// For a job that ended as Done: hands the block behind downloadData over to the caller, who
// frees it with free(), and sets *capacity to its size in bytes. The job keeps its counts but
// no data from then on. Null, *capacity untouched, for any other job.
unsigned char* takeDownloadData(DownloadJob* job, size_t* capacity);

// How many bytes downloadData holds: the announced length, never more than was received.
// 0 for an unknown handle and for a released or timed-out job.
uint32_t downloadSize(const DownloadJob* job);

// Text for the status line; empty for an unknown handle. Polling it keeps a job that has
// received nothing (carried bytes aside) clear of the stall sweep for its first 30 seconds.
const wchar_t* downloadStatusText(DownloadJob* job);

// "%1.1f" and the unit b, Kb or Mb, in one shared buffer valid until the next call.
const wchar_t* formatByteCount(uint32_t bytes);

// Flags every transfer idle for longer than the stall time-out; the worker then ends it as
// TimedOut on its next cycle.
void sweepStalledDownloads();

// The stall time-out in force.
uint32_t downloadStallTimeout();
