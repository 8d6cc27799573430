// The job record and the calls between the worker and the request setup; for the download
// component's own files only.
#pragma once

#include "download_client.h"

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr size_t VALIDATOR_CAPACITY = 256;         // an ETag or a date, and its 0; longer ones are not kept
constexpr size_t BODY_FILE_PATH_CAPACITY = 520;     // characters, terminator included
constexpr uint8_t DESTROYED_RELEASED_MARK = 0x7B;  // written over the flags just before freeing
constexpr uint8_t DESTROYED_TIMED_OUT_MARK = 0xEA;

// One request. The fields that both threads touch are atomics: the worker writes the body and
// its counts while the main thread polls. status is published last, after the body is whole.
struct DownloadJob {
    DownloadJob* next;                      // job list, newest first; main thread only
    std::atomic<CURL*> transfer;            // null while queued and after completion
    curl_slist* requestHeaders;             // owned by the job
    curl_slist* proxyHeaders;               // owned by the job
    std::atomic<int32_t> status;
    unsigned char* data;                    // body and a 0 byte; written by the worker only
    std::atomic<uint32_t> received;
    std::atomic<uint32_t> length;           // LENGTH_UNKNOWN until known
    std::atomic<int32_t> httpStatus;        // 0 until known; the body checks may set it
    uint32_t createdAt;
    std::atomic<uint32_t> lastActivity;
    uint32_t dataLength;                    // bytes held in data; always equals received
    size_t dataCapacity;                    // bytes allocated for data
    wchar_t url[DOWNLOAD_URL_MAX_CHARS + 1];
    std::atomic<uint8_t> released;
    std::atomic<uint8_t> timedOut;
    // A body can be continued by a later job when the response that delivered it named a
    // strong validator and the whole length. Written by the worker, read by the main thread
    // once the job has ended.
    char validator[VALIDATOR_CAPACITY];     // strong ETag, or an old enough Last-Modified; empty: none
    uint32_t wholeLength;                   // LENGTH_UNKNOWN: none
    std::atomic<uint32_t> resumedFrom;      // bytes carried in and asked past; 0: a plain request
    bool responseJudged;                    // the answer to this request was looked at; worker only
    bool continued;                         // the answer is the rest of the carried body
    bool rangeRefused;                      // the answer refused the rest: ask again, plainly
    bool securedHop;                        // a request of this transfer went over HTTPS; worker only
    // The body's copy on disk, for a job made to keep one: the worker writes it as the body
    // arrives, in pieces; it moves with the body to a later job, and the main thread finishes it
    // once the job is done. A job that ends otherwise deletes it.
    void* bodyFile;                         // file handle; null: no copy on disk
    uint32_t bodyFileLength;                // bytes of the body the file holds
    bool bodyFileFailed;                    // a write failed: the copy is of no use
    wchar_t bodyFilePath[BODY_FILE_PATH_CAPACITY];
};

// The stall time-out in force; the request setup bounds the connect phase by twice this.
extern std::atomic<uint32_t> stallTimeout;

// Ends the transfer H with libcurl result R and gives its job its final status. Returns false
// when no active job holds H (H is then cleaned up alone). Worker thread, under jobLock.
bool completeDownload(CURL* transfer, CURLcode result);

// libcurl's write callback; userData is the job.
size_t receiveBody(char* bytes, size_t itemSize, size_t itemCount, void* userData);
