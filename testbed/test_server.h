// Where the test bed's update server listens, as the test run started it.
#pragma once

#include <string>
#include <vector>

struct TestServer {
    int http = 0;     // plain HTTP
    int https = 0;    // TLS with a self-signed certificate
    int notls = 0;    // accepts TCP but answers in plain text
    int closed = 0;   // nothing listens here
    std::wstring log;    // request log, one JSON line per request
    std::wstring files;  // folder served under /files/

    std::wstring url(const std::wstring& path) const;        // http://127.0.0.1:PORT/path
    std::wstring secureUrl(const std::wstring& path) const;  // https://127.0.0.1:PORT/path
    // Request log lines that contain text (a tag of the test's own), in order.
    std::vector<std::string> requests(const std::string& text) const;
};

// The running server; throws when the test run started none.
const TestServer& testServer();

// A Unix path as Wine shows it to Windows programs.
std::wstring windowsPathOf(const std::string& unixPath);
