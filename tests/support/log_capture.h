// Records the lines the logger hands to the debugger sink, so a test can check
// exact log output. Starts the logger at the given level; finalises it when destroyed.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class LogCapture {
public:
    explicit LogCapture(uint32_t level);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Returns once every line logged before the call has been captured (a marker
    // is logged and awaited: lines leave the log in the order they came). Fails the test after 10 s.
    void flush() const;
    // Whole lines as written ("[EROR] name.exe( pid:  tid) : text\n").
    std::vector<std::string> lines() const;
    // "<tag><text>" of each line, e.g. "[EROR] Talvern tray is already running."
    std::vector<std::string> messages() const;
    size_t count(const std::string& message) const;
    // Waits until count(message) >= times, at most timeout_ms.
    bool wait_for(const std::string& message, DWORD timeout_ms, size_t times = 1) const;
    // Success when expected appear among the messages in this order (others may lie between).
    ::testing::AssertionResult in_order(const std::vector<std::string>& expected) const;
    void clear();

    // "<tag><text>" of one line; the line unchanged when it has no ") : " field.
    static std::string message_of(const std::string& line);

private:
    static void observe(void* context, const char* line);
    mutable std::mutex _lock;
    std::vector<std::string> _lines;
};
