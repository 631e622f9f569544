// The PNP monitor: loading and starting the plug-in, and turning its events into records.
#include "pnp/pnp_monitor.h"

#include "log/log.h"
#include "pnp/shown_letter.h"
#include "util/module_path.h"

#include <memory>
#include <new>
#include <sstream>

namespace {

const char kInitFunction[] = "PNPMonitor::initialize";

}  // namespace

PNPMonitor::PNPMonitor() : _wmi_source(_wmi), _source(_wmi_source), _module_file(this_process_module()) {}

PNPMonitor::PNPMonitor(disk_source& source, const module_file_api& module)
    : _wmi_source(_wmi), _source(source), _module_file(module) {}

PNPMonitor::~PNPMonitor() { stop(); }

bool PNPMonitor::initialize() {
    std::wstring module_dir;
    const bool have_dir = get_current_module_dir(module_dir, _module_file);
    std::wstringstream path_stream;
    path_stream << module_dir << L"\\" << L"TalvernP.dll";
    const std::wstring path = path_stream.str();

    if (!_module) {
        // Without the agent's own directory the path would be relative to the
        // root of the current drive: a library there is not ours to load.
        module_handle module;
        if (have_dir) {
            // The reference taken here (also on a library that is already
            // loaded) is the one stop() gives back.
            if (!GetModuleHandleExW(0, path.c_str(), module.put())) {
                // By full path; its own imports from its folder or the system's.
                module.reset(LoadLibraryExW(path.c_str(), nullptr,
                                            LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
            }
        }
        if (!module) {
            log_write_fmt(log_category_general, log_level_error, kInitFunction, "no dll, dll=%ws", path.c_str());
            return false;
        }
        _module = std::move(module);
    }

    _start_fn = reinterpret_cast<plugin_start_fn>(reinterpret_cast<void*>(GetProcAddress(_module.get(), "Start")));
    _stop_fn = reinterpret_cast<plugin_stop_fn>(reinterpret_cast<void*>(GetProcAddress(_module.get(), "Stop")));
    if (_start_fn == nullptr || _stop_fn == nullptr) {
        log_write_fmt(log_category_general, log_level_error, kInitFunction, "no function, Start|Stop.");
        return false;
    }

    if (!_source.initialize()) {
        log_write_fmt(log_category_general, log_level_error, kInitFunction, "WmiClient::initialize() failed.");
        return false;
    }

    // A failed first build leaves lookups failing until a later refresh works;
    // the cause is logged by the refresh.
    refresh_disk_partions();

    _initialized = true;
    return true;
}

bool PNPMonitor::run(void* context, pnp_callback_fn callback) {
    if (!_initialized) {
        return false;
    }
    // Set before Start, so that an event reported at once reaches the owner.
    _context = context;
    _callback = callback;
    _start_fn(this, &dll_callback);
    return true;
}

void PNPMonitor::stop() {
    if (_stop_fn != nullptr) {
        _stop_fn();
        _stop_fn = nullptr;
    }
    _start_fn = nullptr;
    _module.reset();
    _initialized = false;
}

namespace {

// The event path of dll_callback; may throw.
void handle_device_event(PNPMonitor* monitor, uint8_t event_type, const wchar_t* drive_letter,
                         const FILETIME& now, pnp_callback_fn callback, void* owner_context) {
    std::wstring pnp_device_id;
    std::wstring serial_number;
    std::wstring device_name;
    if (!monitor->get_pnp_info_by_drive_letter(event_type, drive_letter, pnp_device_id, serial_number,
                                               device_name)) {
        log_write_fmt(log_category_general, log_level_error, "dll_callback",
                      "get_pnp_info_by_drive_letter( drive_letter=%ws ) failed. ", shown_letter(drive_letter).c_str());
        return;
    }

    std::unique_ptr<pnp_info> info(new pnp_info);
    info->time = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    info->event_type = event_type;
    info->drive_letter = drive_letter;
    info->pnp_device_id = std::move(pnp_device_id);
    info->serial_number = std::move(serial_number);
    info->device_name = std::move(device_name);
    // The record belongs to the owner from here on, whatever the callback returns.
    callback(owner_context, info.release());
}

}  // namespace

void dll_callback(void* context, uint8_t event_type, const wchar_t* drive_letter) {
    if (drive_letter == nullptr || context == nullptr) {
        return;
    }
    PNPMonitor* monitor = static_cast<PNPMonitor*>(context);
    if (monitor->_callback == nullptr) {
        return;
    }

    // Taken before the lookup, so that a refresh of the tables does not delay it.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);

    // No exception may travel into the plug-in, which calls through a C interface.
    try {
        handle_device_event(monitor, event_type, drive_letter, now, monitor->_callback, monitor->_context);
    } catch (const std::bad_alloc&) {
        log_write_fmt(log_category_general, log_level_error, "dll_callback",
                      "out of memory, event dropped. drive_letter=%ws", shown_letter(drive_letter).c_str());
    } catch (const std::exception& e) {
        log_write_fmt(log_category_general, log_level_error, "dll_callback",
                      "exception, event dropped. drive_letter=%ws, exception=%s", shown_letter(drive_letter).c_str(),
                      e.what());
    } catch (...) {
        log_write_fmt(log_category_general, log_level_error, "dll_callback",
                      "exception, event dropped. drive_letter=%ws, exception=unknown",
                      shown_letter(drive_letter).c_str());
    }
}
