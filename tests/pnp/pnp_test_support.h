// Helpers of the device-monitoring tests: the test plug-in's extra exports, an
// owner callback that keeps the records it is given, and a way to be sure every
// line logged so far has reached a LogCapture.
#pragma once

#include "pnp/pnp_info.h"
#include "tests/support/log_capture.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Directory of the running test executable (no trailing backslash).
std::wstring test_exe_dir();

// Logs a marker line and waits until it has been captured: the log is one
// queue, so every line logged before it has been captured too.
void sync_log(const LogCapture& log);

// A reference to the process-wide device name converter, loaded, held for the
// life of the object: the agent holds one the same way while its monitor runs,
// so the monitor's reloads and lookups work on one converter.
class converter_reference {
public:
    converter_reference();
    ~converter_reference();
    converter_reference(const converter_reference&) = delete;
    converter_reference& operator=(const converter_reference&) = delete;
    bool loaded() const { return _loaded; }

private:
    bool _loaded = false;
};

// The test plug-in (TalvernP.dll next to the test), with a reference of the
// test's own, so its counters outlive the monitor's reference.
class test_plugin {
public:
    test_plugin();
    ~test_plugin();
    test_plugin(const test_plugin&) = delete;
    test_plugin& operator=(const test_plugin&) = delete;

    bool loaded() const { return _module != nullptr; }
    int fire(uint8_t event_type, const wchar_t* drive_letter) const { return _fire(event_type, drive_letter); }
    int fire_with_context(void* context, uint8_t event_type, const wchar_t* drive_letter) const {
        return _fire_with_context(context, event_type, drive_letter);
    }
    void set_start_event(int event_type, const wchar_t* drive_letter) const {
        _set_start_event(event_type, drive_letter);
    }
    long start_calls() const { return _start_calls(); }
    long stop_calls() const { return _stop_calls(); }
    void* start_context() const { return _start_context(); }
    void reset() const { _reset(); }

private:
    HMODULE _module = nullptr;
    int (*_fire)(uint8_t, const wchar_t*) = nullptr;
    int (*_fire_with_context)(void*, uint8_t, const wchar_t*) = nullptr;
    void (*_set_start_event)(int, const wchar_t*) = nullptr;
    long (*_start_calls)() = nullptr;
    long (*_stop_calls)() = nullptr;
    void* (*_start_context)() = nullptr;
    void (*_reset)() = nullptr;
};

// One record the owner callback received, with the thread it came on.
struct received_record {
    std::unique_ptr<pnp_info> info;
    DWORD thread_id = 0;
};

// Owner of a monitor in the tests: on_pnp_event is the callback for run().
class record_sink {
public:
    static bool on_pnp_event(void* context, pnp_info* info);

    size_t size() const;
    // Moves the records out, oldest first.
    std::vector<received_record> take();

private:
    mutable std::mutex _lock;
    std::vector<received_record> _records;
};
