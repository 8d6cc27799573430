#include "request_setup.h"

#include "download_job.h"
#include "product_hosts.h"
#include "settings.h"
#include "system_survey.h"
#include "text.h"

#include <cstdlib>
#include <cwchar>

namespace {

constexpr wchar_t PRODUCT_TOKEN[] = L"Vornhollow";
constexpr wchar_t PLATFORM_TOKENS[] = L"Win32; amd64; ";  // its blank gives two before ")"
constexpr wchar_t HTTPS_PREFIX[] = L"https://";
constexpr wchar_t HTTP_PREFIX[] = L"http://";
constexpr size_t PROBE_CAPACITY = 300;
constexpr size_t PROXY_LINE_CAPACITY = 2048;
constexpr size_t RANGE_LINE_CAPACITY = VALIDATOR_CAPACITY + 16;
constexpr long KEEPALIVE_SECONDS = 30;
// Where a redirect may lead: never off HTTPS once there, never off HTTP(S) at all.
constexpr char REDIRECTS_FROM_HTTPS[] = "https";
constexpr char REDIRECTS_FROM_HTTP[] = "http,https";

wchar_t productAgent[USER_AGENT_CAPACITY];
wchar_t genericAgent[USER_AGENT_CAPACITY];
wchar_t proxyCredential[PROXY_CREDENTIAL_CAPACITY];

const wchar_t* const TRUSTED_DOMAINS[] = {UPDATER_TRUSTED_DOMAIN, UPDATER_LEGACY_TRUSTED_DOMAIN};

bool startsWithIgnoringCase(const wchar_t* text, const wchar_t* prefix)
{
    return _wcsnicmp(text, prefix, wcslen(prefix)) == 0;
}

bool matchesAnyDomain(const wchar_t* url, const wchar_t* probeFormat, bool anywhere)
{
    for (const wchar_t* domain : TRUSTED_DOMAINS) {
        wchar_t probe[PROBE_CAPACITY];
        if (formatText(probe, PROBE_CAPACITY, probeFormat, domain) < 0)
            continue;  // a domain too long for a probe matches nothing
        if (anywhere ? wcsstr(url, probe) != nullptr : startsWithIgnoringCase(url, probe))
            return true;
    }
    return false;
}

// A failed append leaves the list as it was; the request goes out without that line.
curl_slist* appendHeader(curl_slist* list, const char* line)
{
    curl_slist* longer = curl_slist_append(list, line);
    return longer ? longer : list;
}

// Asks only for the bytes past the carried ones, and only while the resource is the one they
// came from: without the condition the server would send the rest of a changed file.
curl_slist* askForTheRest(curl_slist* headers, const DownloadJob* job)
{
    char condition[RANGE_LINE_CAPACITY];
    char range[RANGE_LINE_CAPACITY];
    if (formatTextNarrow(condition, RANGE_LINE_CAPACITY, "If-Range: %s", job->validator) < 0 ||
        formatTextNarrow(range, RANGE_LINE_CAPACITY, "Range: bytes=%u-", job->resumedFrom.load()) < 0)
        return headers;  // a plain request: the server answers with the whole body
    curl_slist* conditional = curl_slist_append(headers, condition);
    return conditional ? appendHeader(conditional, range) : headers;  // never a range without it
}

// Called before each request of a transfer, the first and every followed redirect: once a
// request has gone over HTTPS, none goes over plain HTTP. The scheme limit alone cannot say
// this, as it is fixed for the whole transfer.
int checkRequestScheme(void* userData, char*, char*, int, int)
{
    auto* job = static_cast<DownloadJob*>(userData);
    char* address = nullptr;
    if (curl_easy_getinfo(job->transfer.load(), CURLINFO_EFFECTIVE_URL, &address) != CURLE_OK || !address)
        return CURL_PREREQFUNC_ABORT;
    bool secure = curl_strnequal(address, "https:", 6);
    if (!secure && job->securedHop)
        return CURL_PREREQFUNC_ABORT;  // ends the transfer as a refused redirect
    job->securedHop = job->securedHop || secure;
    return CURL_PREREQFUNC_OK;
}

// Limits the schemes a followed redirect may go to. False when libcurl refused the limit.
bool limitRedirects(CURL* easy, bool secure)
{
#if LIBCURL_VERSION_NUM >= 0x075500  // 7.85.0 takes the schemes as text
    return curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR,
                            secure ? REDIRECTS_FROM_HTTPS : REDIRECTS_FROM_HTTP) == CURLE_OK;
#else
    long schemes = secure ? CURLPROTO_HTTPS : CURLPROTO_HTTP | CURLPROTO_HTTPS;
    return curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS, schemes) == CURLE_OK;
#endif
}

void setTransferOptions(CURL* easy, DownloadJob* job, const char* address, bool secure, const char* userAgent,
                        const char* proxy, curl_slist* headers, curl_slist* proxyHeaders)
{
    // Results are ignored, but for the redirect limit: a rejected option leaves libcurl's default.
    (void)curl_easy_setopt(easy, CURLOPT_URL, address);
    (void)curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent);
    (void)curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    if (proxy)
        (void)curl_easy_setopt(easy, CURLOPT_PROXY, proxy);
    // libcurl's default would follow HTTPS down to HTTP, and on to FTP: without the limits, no
    // redirect is followed at all.
    bool limited = limitRedirects(easy, secure) &&
                   curl_easy_setopt(easy, CURLOPT_PREREQDATA, job) == CURLE_OK &&
                   curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, checkRequestScheme) == CURLE_OK;
    (void)curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, limited ? 1L : 0L);
    (void)curl_easy_setopt(easy, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
    (void)curl_easy_setopt(easy, CURLOPT_FILETIME, 1L);
    (void)curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 0L);
    (void)curl_easy_setopt(easy, CURLOPT_TCP_KEEPIDLE, KEEPALIVE_SECONDS);
    (void)curl_easy_setopt(easy, CURLOPT_TCP_KEEPINTVL, KEEPALIVE_SECONDS);
    (void)curl_easy_setopt(easy, CURLOPT_TCP_FASTOPEN, 0L);
    (void)curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, REQUEST_BUFFER_SIZE);
    (void)curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, receiveBody);
    (void)curl_easy_setopt(easy, CURLOPT_WRITEDATA, job);
    (void)curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    uint32_t connectTimeout = 2 * stallTimeout.load();
    (void)curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout));
    (void)curl_easy_setopt(easy, CURLOPT_HEADEROPT, static_cast<long>(CURLHEADER_SEPARATE));
    if (headers)
        (void)curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    if (proxyHeaders)
        (void)curl_easy_setopt(easy, CURLOPT_PROXYHEADER, proxyHeaders);
}

}  // namespace

void buildUserAgents(float version, int build)
{
    unsigned major = osMajorVersion & 0xFF;
    unsigned minor = osMinorVersion & 0xFF;
    if (version == 0.0f && build == 0)
        (void)formatText(productAgent, USER_AGENT_CAPACITY, L"%s/%.1f+(%d)", PRODUCT_TOKEN,
                         static_cast<double>(version), build);  // cut texts are acceptable
    else
        (void)formatText(productAgent, USER_AGENT_CAPACITY, L"Mozilla/5.0 (Windows NT %d.%d; %s %s/%.1f.%d)",
                         major, minor, PLATFORM_TOKENS, PRODUCT_TOKEN, static_cast<double>(version), build);
    (void)formatText(genericAgent, USER_AGENT_CAPACITY, L"Mozilla/5.0 (Windows NT %d.%d; %s )", major, minor,
                     PLATFORM_TOKENS);
}

const wchar_t* productUserAgent()
{
    return productAgent;
}

const wchar_t* genericUserAgent()
{
    return genericAgent;
}

void setProxyCredential(const wchar_t* credential)
{
    (void)formatText(proxyCredential, PROXY_CREDENTIAL_CAPACITY, L"%s", credential ? credential : L"");
}

bool isTrustedAddress(const wchar_t* url)
{
    return matchesAnyDomain(url, L".%s/", true) || matchesAnyDomain(url, L"https://%s/", false) ||
           matchesAnyDomain(url, L"http://%s/", false);
}

void buildFullAddress(const wchar_t* url, bool trusted, wchar_t* buffer, size_t size)
{
    bool secure = startsWithIgnoringCase(url, HTTPS_PREFIX);
    bool plain = startsWithIgnoringCase(url, HTTP_PREFIX);
    // Cut addresses are acceptable here: libcurl then fails the request, which the caller sees.
    if (secure || (plain && !trusted))
        (void)formatText(buffer, size, L"%s", url);
    else if (trusted)
        (void)formatText(buffer, size, L"https://%s", plain ? url + wcslen(HTTP_PREFIX) : url);
    else
        (void)formatText(buffer, size, L"http://%s", url);
}

void setupRequest(CURLM* multi, DownloadJob* job)
{
    job->status = DownloadStatus::Transferring;
    bool trusted = isTrustedAddress(job->url);
    wchar_t address[FULL_ADDRESS_CAPACITY];
    buildFullAddress(job->url, trusted, address, FULL_ADDRESS_CAPACITY);

    // A job that carries bytes in knows the whole length already; the answer must agree with it.
    job->length = job->resumedFrom ? job->wholeLength : LENGTH_UNKNOWN;
    job->responseJudged = job->continued = job->rangeRefused = job->securedHop = false;
    if (!job->data) {
        job->data = static_cast<unsigned char*>(calloc(1, 1));
        job->dataCapacity = job->data ? 1 : 0;
    }
    job->lastActivity = millisecondClock();

    CURL* easy = curl_easy_init();
    if (!easy) {
        job->status = DownloadStatus::NoTransfer;  // the worker's next cycle tries again
        return;
    }
    job->transfer = easy;
    job->httpStatus = 0;

    curl_slist* headers = appendHeader(nullptr, "Accept: */*");
    // Asked for as a plain line: libcurl does not decode, the body is kept as it was sent.
    headers = appendHeader(headers, "Accept-Encoding: gzip,deflate");
    if (job->resumedFrom)
        headers = askForTheRest(headers, job);
    curl_slist* proxyHeaders = nullptr;
    if (proxyCredential[0]) {
        char line[PROXY_LINE_CAPACITY];
        if (formatTextNarrow(line, PROXY_LINE_CAPACITY, "Proxy-Authorization: Basic %S", proxyCredential) >= 0)
            proxyHeaders = curl_slist_append(nullptr, line);
    }

    char* utf8Address = toUtf8Copy(address);
    char* utf8Agent = toUtf8Copy(trusted ? productAgent : genericAgent);
    char* utf8Proxy = toUtf8Copy(proxyAddress());  // null without a proxy
    CURLU* parsed = curl_url();
    char* normalised = nullptr;
    if (parsed && utf8Address &&
        curl_url_set(parsed, CURLUPART_URL, utf8Address, CURLU_URLENCODE | CURLU_ALLOW_SPACE) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_URL, &normalised, 0) != CURLUE_OK)
        normalised = nullptr;  // the address as built then goes out unchanged

    bool secure = startsWithIgnoringCase(address, HTTPS_PREFIX);
    setTransferOptions(easy, job, normalised ? normalised : utf8Address, secure, utf8Agent, utf8Proxy, headers,
                       proxyHeaders);
    job->requestHeaders = headers;
    job->proxyHeaders = proxyHeaders;

    CURLMcode added = curl_multi_add_handle(multi, easy);
    if (added == CURLM_ADDED_ALREADY) {
        (void)curl_multi_remove_handle(multi, easy);  // the second add decides
        added = curl_multi_add_handle(multi, easy);
    }
    if (added != CURLM_OK)
        (void)completeDownload(easy, CURLE_OPERATION_TIMEDOUT);  // ends the job as TimedOut

    curl_free(normalised);  // libcurl keeps its own copies of string options
    curl_url_cleanup(parsed);
    free(utf8Address);
    free(utf8Agent);
    free(utf8Proxy);
}
