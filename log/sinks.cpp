// The console and debugger sinks.
#include "log/sinks.h"

#include <windows.h>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <cstring>

#include "log/log.h"

namespace {
// The standard output handle, fetched once for the life of the process, with
// the text attributes it had at that moment.
struct console_state {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    WORD saved_attributes = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;
    boost::mutex lock;  // keeps colour, text and restore of one line together

    console_state() {
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(handle, &info)) {
            saved_attributes = info.wAttributes;
        }
    }
};
}  // namespace

void console_write(uint32_t level, const char* text) {
    static console_state con;
    if (text == nullptr || con.handle == nullptr || con.handle == INVALID_HANDLE_VALUE) {
        return;
    }
    // Errors red (12), warnings and info green (10), debug lines as they were.
    const bool coloured = level <= log_level_info;
    const WORD attributes = level == log_level_error ? FOREGROUND_RED | FOREGROUND_INTENSITY
                                                     : FOREGROUND_GREEN | FOREGROUND_INTENSITY;
    boost::lock_guard<boost::mutex> guard(con.lock);
    if (coloured) {
        SetConsoleTextAttribute(con.handle, attributes);
    }
    DWORD written = 0;
    WriteConsoleA(con.handle, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    if (coloured) {
        SetConsoleTextAttribute(con.handle, con.saved_attributes);
    }
}

namespace {
// The observer is called under this lock, so once log_set_debug_observer()
// has returned the previous observer is no longer running.
struct observer_slot {
    boost::mutex lock;
    log_line_observer observer = nullptr;
    void* context = nullptr;
};
observer_slot& slot() { static observer_slot s; return s; }
}  // namespace

void log_set_debug_observer(log_line_observer observer, void* context) {
    observer_slot& s = slot();
    boost::lock_guard<boost::mutex> guard(s.lock);
    s.observer = observer;
    s.context = context;
}

void debug_write(const char* text) {
    if (text == nullptr) {
        return;
    }
    OutputDebugStringA(text);
    observer_slot& s = slot();
    boost::lock_guard<boost::mutex> guard(s.lock);
    if (s.observer != nullptr) {
        s.observer(s.context, text);
    }
}
