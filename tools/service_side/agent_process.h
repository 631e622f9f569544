// Starting the agent from a stand-in service: the process and its first thread,
// owned, and the process id that the service's objects are named after.
#pragma once

#include "base/handles.h"

#include <windows.h>

#include <string>

struct started_process {
    unique_handle process;
    unique_handle thread;  // the first thread; null once resumed
    DWORD pid = 0;
};

// Starts path with the command line "<path>" followed by arguments (if any),
// suspended when asked: a suspended process already has its final id, so the
// service can create the objects named after it before the agent runs. False,
// with GetLastError() from CreateProcessW, when the process could not start.
bool start_process(const std::wstring& path, const std::wstring& arguments, bool suspended,
                   started_process& started);

// Resumes a suspended first thread and lets its handle go; true when there was
// none to resume. False, with GetLastError() from ResumeThread, when it failed.
bool resume_process(started_process& started);
