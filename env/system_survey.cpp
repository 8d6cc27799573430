#include "system_survey.h"

#include <windows.h>
#include <wbemidl.h>

#include <cwchar>

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

}  // namespace

void parseOsVersion(const wchar_t* version, unsigned* major, unsigned* minor)
{
    if (version && major && minor)
        (void)swscanf(version, L"%u.%u", major, minor);  // unscanned slots keep their value
}

int surveySystem(unsigned* major, unsigned* minor)
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
