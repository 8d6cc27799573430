// What one download request looks like on the wire: its address, User-Agent, header lines
// for the server and for a proxy, and every libcurl option of the transfer. Addresses on the
// product's own domains are trusted: forced onto HTTPS and told the product's User-Agent.
#pragma once

#include <curl/curl.h>

#include <cstddef>

struct DownloadJob;

constexpr size_t USER_AGENT_CAPACITY = 1001;      // 1000 characters
constexpr size_t PROXY_CREDENTIAL_CAPACITY = 512;  // 511 characters
constexpr size_t FULL_ADDRESS_CAPACITY = 2048;
constexpr long REQUEST_BUFFER_SIZE = 0x280000;
constexpr long MAX_REDIRECTS = 4;

// Fills the product and the generic User-Agent. Start-up passes version 0.0 and build 0,
// which give the short product form "Vornhollow/0.0+(0)".
void buildUserAgents(float version, int build);
const wchar_t* productUserAgent();
const wchar_t* genericUserAgent();

// The text sent after "Basic " in a Proxy-Authorization line to the proxy only; empty (the
// start) means no such line. Cut at 511 characters. Set before the worker's first job.
void setProxyCredential(const wchar_t* credential);

// Whether a stored job address is on one of the product's domains.
bool isTrustedAddress(const wchar_t* url);

// The address the request goes to: trusted ones on HTTPS, others on their own scheme or HTTP.
void buildFullAddress(const wchar_t* url, bool trusted, wchar_t* buffer, size_t size);

// Turns a queued job into a transfer on multi (the job is then Transferring), or marks it
// NoTransfer when libcurl has no handle for it, or ends it when libcurl refuses the transfer.
// Worker thread, under the job lock.
void setupRequest(CURLM* multi, DownloadJob* job);
