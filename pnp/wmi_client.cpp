// The WMI client: COM set-up, the connection to ROOT\CIMV2 and WQL queries.
#include "pnp/wmi_client.h"

#include "log/log.h"

namespace {

const char* const kInitFunction = "WmiClient::initialize";
const char* const kQueryFunction = "WmiClient::query";

// WMI's locator class and interface, spelled out so that no import library is
// needed for them.
const CLSID kWbemLocatorClsid = {0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID kWbemLocatorIid = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

}  // namespace

WmiClient::WmiClient() : _api(com_api::system()) {}

WmiClient::WmiClient(const com_api& api) : _api(api) {}

WmiClient::~WmiClient() {
    if (_initialized) {
        _svc.reset();
        _locator.reset();
        _api.co_uninitialize();
        _initialized = false;
    }
}

bool WmiClient::initialize() {
    if (_initialized) {
        // Entering COM again would need a second CoUninitialize that the
        // destructor never makes.
        return true;
    }

    HRESULT hres = _api.co_initialize_ex(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hres)) {  // S_FALSE: COM was already entered on this thread
        log_write_fmt(log_category_general, log_level_error, kInitFunction, "CoInitializeEx() failed. hres=%u",
                      static_cast<unsigned>(hres));
        return false;
    }

    hres = _api.co_initialize_security(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (FAILED(hres) && hres != RPC_E_TOO_LATE) {  // RPC_E_TOO_LATE: security already set
        log_write_fmt(log_category_general, log_level_error, kInitFunction, "CoInitializeSeciruty() failed. hres=%u",
                      static_cast<unsigned>(hres));
        _api.co_uninitialize();
        return false;
    }

    hres = _api.co_create_instance(kWbemLocatorClsid, nullptr, CLSCTX_INPROC_SERVER, kWbemLocatorIid,
                                   reinterpret_cast<LPVOID*>(_locator.put()));
    if (FAILED(hres) || !_locator) {
        log_write_fmt(log_category_general, log_level_error, kInitFunction, "CoCreateInstance() failed. hres=%u",
                      static_cast<unsigned>(hres));
        _locator.reset();
        _api.co_uninitialize();
        return false;
    }

    bstr_holder name_space(L"ROOT\\CIMV2");
    hres = name_space ? _locator->ConnectServer(name_space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                                _svc.put())
                      : E_OUTOFMEMORY;
    if (FAILED(hres) || !_svc) {
        log_write_fmt(log_category_general, log_level_error, kInitFunction,
                      "_locator->ConnectServer() failed. hres=%u", static_cast<unsigned>(hres));
        _svc.reset();
        _locator.reset();
        _api.co_uninitialize();
        return false;
    }

    log_write_fmt(log_category_general, log_level_debug, kInitFunction, "Connected to ROOT\\CIMV2 WMI name space.");

    hres = _api.co_set_proxy_blanket(_svc.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                     RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hres)) {
        log_write_fmt(log_category_general, log_level_error, kInitFunction, "CoSetProxyBlanket() failed. hres=%u",
                      static_cast<unsigned>(hres));
        _svc.reset();
        _locator.reset();
        _api.co_uninitialize();
        return false;
    }

    _initialized = true;
    return true;
}

bool WmiClient::query(const wchar_t* text, IEnumWbemClassObject** result) {
    if (!_initialized || text == nullptr || result == nullptr) {
        return false;
    }
    bstr_holder language(L"WQL");
    bstr_holder query_text(text);
    com_ptr<IEnumWbemClassObject> enumerator;
    HRESULT hres = (language && query_text)
                       ? _svc->ExecQuery(language.get(), query_text.get(),
                                         WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                         enumerator.put())
                       : E_OUTOFMEMORY;
    if (FAILED(hres) || !enumerator) {
        log_write_fmt(log_category_general, log_level_error, kQueryFunction, "_svc->ExecQuery() failed. hres=%u",
                      static_cast<unsigned>(hres));
        return false;
    }
    *result = enumerator.release();
    return true;
}
