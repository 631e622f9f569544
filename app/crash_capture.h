// Crash capture of the agent's process: an unhandled exception, or a stack
// overflow (which under Wine never reaches the unhandled-exception filter: a
// vectored handler takes that one), leaves a minidump in the crash folder
// (app/crash_folder.h), one error in the Event Log (app/crash_event.h), and
// ends the process with the exception's code.
//
// Nothing heavy runs on the crashed thread or its exhausted stack: it hands
// the exception and its id to a writer thread started at install, signals,
// and waits at most kCrashWriteWaitMs before it ends the process anyway. Only
// the first crash is written: a fault while handling (on the crashed thread or
// the writer) ends the process at once; another thread crashing meanwhile
// waits for the first one's end.
//
// One per process, installed by the program's entry routine before the
// plug-in is loaded (tests that run the agent in-process do not get it).
#pragma once

#include "base/handles.h"

#include <windows.h>

constexpr DWORD kCrashWriteWaitMs = 10000;

class crash_capture {
public:
    crash_capture() = default;
    ~crash_capture();  // uninstall()
    crash_capture(const crash_capture&) = delete;
    crash_capture& operator=(const crash_capture&) = delete;

    // Starts the writer and installs the handlers. False (and nothing
    // installed) when the crash folder is unknown, a capture is already
    // installed in the process, or the writer cannot start.
    bool install();
    // Removes the handlers and ends the writer; nothing when not installed.
    void uninstall();

private:
    event_handle _request;  // the crashed thread's (or uninstall's) call to the writer
    event_handle _done;     // the writer's answer: the dump and the event are written
    unique_handle _writer;  // set while installed
    void* _vectored = nullptr;
    LPTOP_LEVEL_EXCEPTION_FILTER _previous_filter = nullptr;
};
