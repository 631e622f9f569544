// Starting and resuming a process for a stand-in service, its handles owned.
#include "tools/service_side/agent_process.h"

bool start_process(const std::wstring& path, const std::wstring& arguments, bool suspended,
                   started_process& started) {
    std::wstring command_line = L"\"" + path + L"\"";
    if (!arguments.empty()) {
        command_line += L" " + arguments;
    }
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(path.c_str(), &command_line[0], nullptr, nullptr, FALSE, suspended ? CREATE_SUSPENDED : 0,
                        nullptr, nullptr, &si, &pi)) {
        return false;
    }
    started.process.reset(pi.hProcess);
    started.thread.reset(pi.hThread);
    started.pid = pi.dwProcessId;
    return true;
}

bool resume_process(started_process& started) {
    if (!started.thread) {
        return true;
    }
    if (ResumeThread(started.thread.get()) == static_cast<DWORD>(-1)) {
        return false;
    }
    started.thread.reset();
    return true;
}
