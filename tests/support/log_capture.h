// Records the lines the logger hands to the debugger sink, so a test can check
// exact log output. Starts the logger (initialize_log) with the given level and
// finalises it when destroyed.
#pragma once

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

    // Whole lines, as written ("[EROR] name.exe( pid:  tid) : text\n").
    std::vector<std::string> lines() const;
    // "<tag><text>" of each line, e.g. "[EROR] Talvern tray is already running."
    std::vector<std::string> messages() const;

    // Number of lines whose "<tag><text>" equals message exactly.
    size_t count(const std::string& message) const;
    bool has(const std::string& message) const { return count(message) > 0; }
    // Waits until count(message) >= times, at most timeout_ms.
    bool wait_for(const std::string& message, DWORD timeout_ms, size_t times = 1) const;
    void clear();

    // "<tag><text>" of one line; the line unchanged when it has no " : " field.
    static std::string message_of(const std::string& line);

private:
    static void observe(void* context, const char* line);
    mutable std::mutex _lock;
    std::vector<std::string> _lines;
};
