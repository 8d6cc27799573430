#include "test_server.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::wstring widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());  // the server's values are ASCII
}

TestServer load()
{
    const char* data = getenv("UPDATER_TEST_DATA");
    if (!data)
        throw std::runtime_error("UPDATER_TEST_DATA is not set: no update server for this run");
    std::ifstream in(windowsPathOf(std::string(data) + "/test-server/info").c_str());
    if (!in)
        throw std::runtime_error("cannot read the update server's info file");
    TestServer server;
    std::string line;
    while (std::getline(in, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (key == "http")
            server.http = atoi(value.c_str());
        else if (key == "https")
            server.https = atoi(value.c_str());
        else if (key == "notls")
            server.notls = atoi(value.c_str());
        else if (key == "closed")
            server.closed = atoi(value.c_str());
        else if (key == "log")
            server.log = windowsPathOf(value);
        else if (key == "files")
            server.files = windowsPathOf(value);
    }
    if (!server.http)
        throw std::runtime_error("the update server's info file names no port");
    return server;
}

}  // namespace

std::wstring windowsPathOf(const std::string& unixPath)
{
    std::wstring path = L"Z:" + widen(unixPath);
    for (wchar_t& c : path) {
        if (c == L'/')
            c = L'\\';
    }
    return path;
}

std::wstring TestServer::url(const std::wstring& path) const
{
    return L"http://127.0.0.1:" + std::to_wstring(http) + L"/" + path;
}

std::wstring TestServer::secureUrl(const std::wstring& path) const
{
    return L"https://127.0.0.1:" + std::to_wstring(https) + L"/" + path;
}

std::vector<std::string> TestServer::requests(const std::string& text) const
{
    std::vector<std::string> found;
    std::ifstream in(log.c_str());
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(text) != std::string::npos)
            found.push_back(line);
    }
    return found;
}

const TestServer& testServer()
{
    static const TestServer server = load();
    return server;
}
