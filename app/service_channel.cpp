// Opening the talvern service's objects for this agent process: the request and
// response events, retried until the service has created them (the dialog's
// messages are handled meanwhile), then the shared section once.
#include "app/service_channel.h"

#include "app/service_names.h"
#include "log/log.h"
#include "pnp/pnp_info.h"

namespace {

constexpr SIZE_T kSectionViewSize = pnp_info::kSectionViewSize;
constexpr DWORD kEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;

// Opens one of the service's events into event when it is not held yet.
void open_service_event(const wchar_t* prefix, event_handle& event) {
    if (event) {
        return;
    }
    const std::wstring name = make_object_name(prefix, GetCurrentProcessId());
    event.reset(OpenEventW(kEventAccess, FALSE, name.c_str()));
    if (!event) {
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

ServiceChannel::ServiceChannel(DWORD retry_ms, uint32_t max_tries)
    : _retry_ms(retry_ms), _max_tries(max_tries == 0 ? 1 : max_tries) {}

bool ServiceChannel::open_events() {
    static const char* const kFunction = "TalvernTray::open_tray_to_svc_events";
    if (_request_event || _response_event) {
        return false;
    }
    uint32_t tries = 0;
    for (;;) {
        ++tries;
        log_write_fmt(log_category_general, log_level_debug, kFunction,
                      "Trying to connect to talvern service. %u th try.", tries);
        open_service_event(kRequestEventPrefix, _request_event);
        open_service_event(kResponseEventPrefix, _response_event);
        if (_request_event && _response_event) {
            return true;
        }
        if (!wait_handling_messages(_retry_ms)) {
            log_write_fmt(log_category_general, log_level_warn, kFunction,
                          "Talvern tray closed while waiting for talvern service.");
            return false;
        }
        if (tries >= _max_tries) {
            break;
        }
    }
    log_write_fmt(log_category_general, log_level_error, kFunction, "Can not connect talvern service. ");
    return false;
}

bool ServiceChannel::open_section() {
    static const char* const kFunction = "TalvernTray::open_tray_to_svc_section";
    if (_section || _section_view) {
        return false;
    }
    const std::wstring name = make_object_name(kSectionPrefix, GetCurrentProcessId());
    _section.reset(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str()));
    if (!_section) {
        log_write_fmt(log_category_general, log_level_error, kFunction, "OpenFileMappingW() failed. section=%ws, gle=%u",
                      name.c_str(), GetLastError());
        return false;
    }
    _section_view.reset(MapViewOfFile(_section.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kSectionViewSize));
    if (!_section_view) {
        log_write_fmt(log_category_general, log_level_error, kFunction, "MapViewOfFile() failed. gle=%u",
                      GetLastError());
        _section.reset();
        return false;
    }
    return true;
}

void ServiceChannel::signal_request() {
    if (_request_event) {
        SetEvent(_request_event.get());
    }
}

void ServiceChannel::signal_response() {
    if (_response_event) {
        SetEvent(_response_event.get());
    }
}

void ServiceChannel::close() {
    _request_event.reset();
    _response_event.reset();
    _section_view.reset();
    _section.reset();
}
