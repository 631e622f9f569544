// Console output of log lines.
#include "log/console_sink.h"

#include <windows.h>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <cstring>

#include "log/log.h"

namespace {
constexpr WORD kAttributeError = FOREGROUND_RED | FOREGROUND_INTENSITY;    // 12
constexpr WORD kAttributeNormal = FOREGROUND_GREEN | FOREGROUND_INTENSITY; // 10

// The standard output handle, fetched once for the life of the process, with
// the text attributes it had at that moment.
struct console_state {
    HANDLE handle = nullptr;
    WORD saved_attributes = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;
    boost::mutex lock;  // keeps colour, text and restore of one line together

    console_state() {
        handle = GetStdHandle(STD_OUTPUT_HANDLE);
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(handle, &info)) {
            saved_attributes = info.wAttributes;
        }
    }
};

console_state& console() {
    static console_state state;
    return state;
}
}  // namespace

void console_write(uint32_t level, const char* text) {
    if (text == nullptr) {
        return;
    }
    console_state& con = console();
    if (con.handle == nullptr || con.handle == INVALID_HANDLE_VALUE) {
        return;
    }
    bool coloured = true;
    WORD attributes = 0;
    switch (level) {
    case log_level_error:
        attributes = kAttributeError;
        break;
    case log_level_warn:
    case log_level_info:
        attributes = kAttributeNormal;
        break;
    default:
        coloured = false;
        break;
    }
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
