#include "system_survey.h"

#include <windows.h>
#include <wbemidl.h>

#include <cwchar>
#include <new>

unsigned osMajorVersion;
unsigned osMinorVersion;

namespace {

constexpr DWORD QUERY_FLAGS = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;

HRESULT initialiseCom()
{
    HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (result == RPC_E_CHANGED_MODE)  // the thread already lives in the multithreaded apartment
        result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(result))
        result = CoInitialize(nullptr);
    return result;
}

// Reads every object's Version into the slots; the last one read wins.
void readVersions(IEnumWbemClassObject* results, unsigned* major, unsigned* minor)
{
    for (;;) {
        IWbemClassObject* object = nullptr;
        ULONG returned = 0;
        HRESULT next = results->Next(WBEM_INFINITE, 1, &object, &returned);
        if (FAILED(next) || returned == 0 || !object)
            break;
        VARIANT version;
        VariantInit(&version);
        if (SUCCEEDED(object->Get(L"Version", 0, &version, nullptr, nullptr)) &&
            version.vt == VT_BSTR && major && minor)
            parseOsVersion(version.bstrVal, major, minor);
        (void)VariantClear(&version);  // nothing to do about a variant that will not clear
        object->Release();
    }
}

// The WMI query itself, on the survey's thread; every path that initialised COM uninitialises it.
int queryWmiVersion(unsigned* major, unsigned* minor)
{
    if (FAILED(initialiseCom()))
        return 1;

    IWbemLocator* locator = nullptr;
    HRESULT result = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IWbemLocator, reinterpret_cast<void**>(&locator));
    if (FAILED(result) || !locator) {
        CoUninitialize();
        return 1;
    }

    IWbemServices* services = nullptr;
    BSTR nameSpace = SysAllocString(L"root\\cimv2");
    result = locator->ConnectServer(nameSpace, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                    &services);
    SysFreeString(nameSpace);
    if (FAILED(result) || !services) {
        locator->Release();
        CoUninitialize();
        return 1;
    }

    result = CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                               RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                               EOAC_NONE);
    IEnumWbemClassObject* results = nullptr;
    if (SUCCEEDED(result)) {
        BSTR language = SysAllocString(L"WQL");
        BSTR query = SysAllocString(L"SELECT * FROM Win32_OperatingSystem");
        result = services->ExecQuery(language, query, QUERY_FLAGS, nullptr, &results);
        SysFreeString(language);
        SysFreeString(query);
    }
    int survey = 1;
    if (SUCCEEDED(result) && results) {
        readVersions(results, major, minor);
        results->Release();
        survey = 0;
    }
    services->Release();
    locator->Release();
    CoUninitialize();
    return survey;
}

// One survey, shared by the caller that waits and the thread that asks; the last to let go
// frees it, so a thread that answers late writes only here.
struct SurveyRun {
    VersionQuery query;
    bool scan;  // both slots were given
    unsigned major;
    unsigned minor;
    int result;
    LONG holders;
};

void releaseRun(SurveyRun* run)
{
    if (InterlockedDecrement(&run->holders) == 0)
        delete run;
}

DWORD WINAPI runSurvey(void* parameter)
{
    SurveyRun* run = static_cast<SurveyRun*>(parameter);
    run->result = run->scan ? run->query(&run->major, &run->minor) : run->query(nullptr, nullptr);
    releaseRun(run);
    return 0;
}

}  // namespace

int surveySystemWith(VersionQuery query, unsigned waitMs, unsigned* major, unsigned* minor)
{
    const bool scan = major && minor;
    SurveyRun* run = new (std::nothrow) SurveyRun{query, scan, scan ? *major : 0, scan ? *minor : 0, 1, 2};
    if (!run)
        return 1;
    HANDLE thread = CreateThread(nullptr, 0, runSurvey, run, 0, nullptr);
    if (!thread) {
        delete run;
        return 1;
    }
    int result = 1;
    if (WaitForSingleObject(thread, waitMs) == WAIT_OBJECT_0) {
        result = run->result;
        if (scan) {
            *major = run->major;
            *minor = run->minor;
        }
    }
    // A thread still waiting for WMI is not waited for: it holds nothing of the program's, and
    // the process's exit ends it.
    (void)CloseHandle(thread);
    releaseRun(run);
    return result;
}

int surveySystem(unsigned* major, unsigned* minor)
{
    return surveySystemWith(queryWmiVersion, SURVEY_WAIT_MS, major, minor);
}

void parseOsVersion(const wchar_t* version, unsigned* major, unsigned* minor)
{
    if (version && major && minor)
        (void)swscanf(version, L"%u.%u", major, minor);  // unscanned slots keep their value
}
