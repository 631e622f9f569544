// Runs a program as a debugged process tree, so a test sees what every process
// in it (the program and the processes it starts) writes to the debugger, with
// the program's stdout and stderr kept in files.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

class DebuggedProcess {
public:
    struct line {
        DWORD pid;
        std::string text;
    };

    // Starts command_line (the program and its arguments) on a thread of its own.
    explicit DebuggedProcess(const std::wstring& command_line);
    ~DebuggedProcess();
    DebuggedProcess(const DebuggedProcess&) = delete;
    DebuggedProcess& operator=(const DebuggedProcess&) = delete;

    // Waits for the program to exit; false after timeout_ms (it is then killed).
    bool wait(DWORD timeout_ms, DWORD& exit_code);

    DWORD pid() const { return _pid; }
    std::vector<line> lines() const;
    // "<tag><text>" of the debugger lines of one process (see LogCapture::message_of).
    std::vector<std::string> messages_of(DWORD pid) const;
    std::string stdout_text() const;
    std::string stderr_text() const;

private:
    void run();

    std::wstring _command_line;
    std::wstring _out_path;
    std::wstring _err_path;
    HANDLE _started = nullptr;
    HANDLE _done = nullptr;
    HANDLE _process = nullptr;
    DWORD _pid = 0;
    DWORD _exit_code = 0;
    mutable std::mutex _lock;
    std::vector<line> _lines;
    std::thread _thread;
};

// Folder of the built programs, from TALVERN_BIN_DIR (a Unix path is turned into
// the Z: drive path Wine gives it).
std::wstring bin_dir();
