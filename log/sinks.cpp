// The console and debugger sinks.
#include "log/sinks.h"

#include <windows.h>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <cstring>

#include "log/log.h"

namespace {
// The observer runs under lock, so once log_set_debug_observer() has returned
// the previous one no longer runs.
struct observer_slot {
    boost::mutex lock;
    log_line_observer observer = nullptr;
    void* context = nullptr;
};

observer_slot& the_observer() {
    static observer_slot slot;  // ready for lines logged while statics are made
    return slot;
}
}  // namespace

void console_write(uint32_t level, const char* text) {
    // The standard output handle and its text attributes, as they were at the
    // first line, for the life of the process.
    static const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    static const WORD saved = [] {
        CONSOLE_SCREEN_BUFFER_INFO info;
        return GetConsoleScreenBufferInfo(console, &info) ? info.wAttributes : WORD{7};
    }();
    static boost::mutex lock;  // keeps colour, text and restore of one line together
    if (text == nullptr || console == nullptr || console == INVALID_HANDLE_VALUE) {
        return;
    }
    const bool coloured = level <= log_level_info;
    boost::lock_guard<boost::mutex> guard(lock);
    if (coloured) {
        SetConsoleTextAttribute(console, level == log_level_error ? FOREGROUND_RED | FOREGROUND_INTENSITY  // 12
                                                                  : FOREGROUND_GREEN | FOREGROUND_INTENSITY);  // 10
    }
    DWORD written = 0;
    WriteConsoleA(console, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    if (coloured) {
        SetConsoleTextAttribute(console, saved);
    }
}

void log_set_debug_observer(log_line_observer observer, void* context) {
    observer_slot& slot = the_observer();
    boost::lock_guard<boost::mutex> guard(slot.lock);
    slot.observer = observer;
    slot.context = context;
}

void debug_write(const char* text) {
    if (text == nullptr) {
        return;
    }
    OutputDebugStringA(text);
    observer_slot& slot = the_observer();
    boost::lock_guard<boost::mutex> guard(slot.lock);
    if (slot.observer != nullptr) {
        slot.observer(slot.context, text);
    }
}
