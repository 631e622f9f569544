// Records the texts this process passes to OutputDebugStringA while an instance
// lives (a vectored handler sees the debug-print exception the call raises).
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

class DebugOutputCapture {
public:
    DebugOutputCapture();
    ~DebugOutputCapture();
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    std::vector<std::string> texts() const;

private:
    static LONG CALLBACK handler(EXCEPTION_POINTERS* info);
    void* _handle = nullptr;
    mutable std::mutex _lock;
    std::vector<std::string> _texts;
};
