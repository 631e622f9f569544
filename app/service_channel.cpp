// Opening the talvern service's objects for this agent process: the request and
// response events, retried until the service has created them (the dialog's
// messages are handled meanwhile), then the shared section once.
#include "app/service_channel_seam.h"
#include "app/service_names.h"
#include "app/talvern_tray.h"

#include "log/log.h"

#include <atomic>

namespace {

constexpr DWORD kDefaultRetryIntervalMs = 5000;
constexpr uint32_t kDefaultMaxTries = 0xFFFFFFFF;
constexpr SIZE_T kSectionViewSize = pnp_info::section_view_size;
constexpr DWORD kEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;

std::atomic<DWORD> _retry_interval_ms{kDefaultRetryIntervalMs};
std::atomic<uint32_t> _max_tries{kDefaultMaxTries};

// Opens one of the service's events into event when it is not held yet.
void open_service_event(const wchar_t* prefix, HANDLE& event) {
    if (event != nullptr) {
        return;
    }
    const std::wstring name = make_object_name(prefix, GetCurrentProcessId());
    event = OpenEventW(kEventAccess, FALSE, name.c_str());
    if (event == nullptr) {
        log_write_fmt(log_category_general, log_level_error, "TalvernTray::open_tray_to_svc_events",
                      "Can not open event object. object=%ws, gle=%u", name.c_str(), GetLastError());
    }
}

// Waits wait_ms while the calling thread's messages are handled, so that the
// dialog still answers "Exit", WM_CLOSE and the end of the session. False when
// WM_QUIT arrives (it is posted again for the message loop).
bool wait_handling_messages(DWORD wait_ms) {
    const ULONGLONG end = GetTickCount64() + wait_ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                return false;
            }
            if (!IsDialogMessageW(msg.hwnd, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= end) {
            return true;
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(end - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

}  // namespace

void set_service_connect_retry_for_test(DWORD interval_ms, uint32_t max_tries) {
    _retry_interval_ms = interval_ms;
    _max_tries = max_tries == 0 ? 1 : max_tries;
}

void reset_service_connect_retry_for_test() {
    _retry_interval_ms = kDefaultRetryIntervalMs;
    _max_tries = kDefaultMaxTries;
}

bool TalvernTray::open_tray_to_svc_events() {
    static const char* const kFunction = "TalvernTray::open_tray_to_svc_events";
    if (_request_event != nullptr || _response_event != nullptr) {
        return false;
    }
    const uint32_t max_tries = _max_tries;
    uint32_t tries = 0;
    for (;;) {
        ++tries;
        log_write_fmt(log_category_general, log_level_debug, kFunction,
                      "Trying to connect to talvern service. %u th try.", tries);
        open_service_event(kRequestEventPrefix, _request_event);
        open_service_event(kResponseEventPrefix, _response_event);
        if (_request_event != nullptr && _response_event != nullptr) {
            return true;
        }
        if (!wait_handling_messages(_retry_interval_ms)) {
            log_write_fmt(log_category_general, log_level_warn, kFunction,
                          "Talvern tray closed while waiting for talvern service.");
            return false;
        }
        if (tries >= max_tries) {
            break;
        }
    }
    log_write_fmt(log_category_general, log_level_error, kFunction, "Can not connect talvern service. ");
    return false;
}

bool TalvernTray::open_tray_to_svc_section() {
    static const char* const kFunction = "TalvernTray::open_tray_to_svc_section";
    if (_section != nullptr || _section_view != nullptr) {
        return false;
    }
    const std::wstring name = make_object_name(kSectionPrefix, GetCurrentProcessId());
    _section = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str());
    if (_section == nullptr) {
        log_write_fmt(log_category_general, log_level_error, kFunction, "OpenFileMappingW() failed. section=%ws, gle=%u",
                      name.c_str(), GetLastError());
        return false;
    }
    _section_view = MapViewOfFile(_section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kSectionViewSize);
    if (_section_view == nullptr) {
        log_write_fmt(log_category_general, log_level_error, kFunction, "MapViewOfFile() failed. gle=%u",
                      GetLastError());
        CloseHandle(_section);
        _section = nullptr;
        return false;
    }
    return true;
}
