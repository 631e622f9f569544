// What the logger's test files share: a log call of plain text, the whole line
// the logger makes of it, and the fixture that leaves the logger as a new start
// finds it.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "log/log.h"

inline void say(uint32_t level, const char* text) { log_write_fmt(log_category_general, level, "f", "%s", text); }

inline std::string ids() {  // "(  pid:  tid) : " of the calling thread
    char text[64];
    snprintf(text, sizeof(text), "(%5lu:%5lu) : ", GetCurrentProcessId(), GetCurrentThreadId());
    return text;
}

// The whole line the logger makes of message on the calling thread.
inline std::string line(const char* tag, const std::string& text) {
    return tag + ("log_tests.exe" + ids()) + text + "\n";
}

class Log : public testing::Test {
protected:
    void TearDown() override {  // what a new start of the logger finds
        finalize_log();
        log_set_debug_observer(nullptr, nullptr);
        log_set_level(log_level_warn);
        log_set_targets(log_to_ods);
        log_set_show_time(false);
    }
};
