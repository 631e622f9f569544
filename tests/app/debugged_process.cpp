#include "tests/app/debugged_process.h"

#include "tests/support/log_capture.h"

#include <fstream>
#include <map>
#include <sstream>

namespace {

std::wstring temp_file(const wchar_t* prefix) {
    wchar_t dir[MAX_PATH] = {};
    wchar_t path[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, prefix, 0, path);
    return path;
}

HANDLE inheritable_file(const std::wstring& path) {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string read_file(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

}  // namespace

std::wstring bin_dir() {
    wchar_t value[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"TALVERN_BIN_DIR", value, MAX_PATH) == 0) return L".";
    std::wstring dir = value;
    if (!dir.empty() && dir[0] == L'/') {
        for (auto& c : dir) if (c == L'/') c = L'\\';
        dir = L"Z:" + dir;
    }
    return dir;
}

DebuggedProcess::DebuggedProcess(const std::wstring& command_line)
    : _command_line(command_line), _out_path(temp_file(L"out")), _err_path(temp_file(L"err")) {
    _started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    _done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    _thread = std::thread(&DebuggedProcess::run, this);
    WaitForSingleObject(_started, INFINITE);
}

DebuggedProcess::~DebuggedProcess() {
    DWORD code = 0;
    wait(60000, code);
    if (_thread.joinable()) _thread.join();
    CloseHandle(_started);
    CloseHandle(_done);
    DeleteFileW(_out_path.c_str());
    DeleteFileW(_err_path.c_str());
}

void DebuggedProcess::run() {
    HANDLE out = inheritable_file(_out_path);
    HANDLE err = inheritable_file(_err_path);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi = {};
    std::wstring command_line = _command_line;
    const BOOL created = CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, TRUE, DEBUG_PROCESS, nullptr,
                                        nullptr, &si, &pi);
    CloseHandle(out);
    CloseHandle(err);
    if (!created) {
        _exit_code = 0xDEADBEEF;
        SetEvent(_started);
        SetEvent(_done);
        return;
    }
    CloseHandle(pi.hThread);
    _process = pi.hProcess;
    _pid = pi.dwProcessId;
    SetEvent(_started);

    std::map<DWORD, HANDLE> processes;  // handles owned by the debug loop
    std::map<DWORD, bool> first_break;
    size_t alive = 0;
    bool root_exited = false;
    while (!root_exited || alive > 0) {
        DEBUG_EVENT ev = {};
        if (!WaitForDebugEvent(&ev, 1000)) {
            if (root_exited) break;
            continue;
        }
        DWORD status = DBG_CONTINUE;
        switch (ev.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (ev.u.CreateProcessInfo.hFile != nullptr) CloseHandle(ev.u.CreateProcessInfo.hFile);
            processes[ev.dwProcessId] = ev.u.CreateProcessInfo.hProcess;
            ++alive;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            if (ev.dwProcessId == _pid) {
                _exit_code = ev.u.ExitProcess.dwExitCode;
                root_exited = true;
            }
            processes.erase(ev.dwProcessId);
            if (alive > 0) --alive;
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (ev.u.LoadDll.hFile != nullptr) CloseHandle(ev.u.LoadDll.hFile);
            break;
        case OUTPUT_DEBUG_STRING_EVENT: {
            const auto& info = ev.u.DebugString;
            auto it = processes.find(ev.dwProcessId);
            if (it != processes.end() && !info.fUnicode && info.nDebugStringLength > 0) {
                std::string text(info.nDebugStringLength, '\0');
                SIZE_T got = 0;
                if (ReadProcessMemory(it->second, info.lpDebugStringData, &text[0], text.size(), &got)) {
                    text.resize(got);
                    while (!text.empty() && text.back() == '\0') text.pop_back();
                    std::lock_guard<std::mutex> guard(_lock);
                    _lines.push_back({ev.dwProcessId, text});
                }
            }
            break;
        }
        case EXCEPTION_DEBUG_EVENT:
            if (ev.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT && !first_break[ev.dwProcessId]) {
                first_break[ev.dwProcessId] = true;  // the loader's initial breakpoint
            } else {
                status = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        default:
            break;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
    }
    SetEvent(_done);
}

bool DebuggedProcess::wait(DWORD timeout_ms, DWORD& exit_code) {
    if (WaitForSingleObject(_done, timeout_ms) != WAIT_OBJECT_0) {
        if (_process != nullptr) TerminateProcess(_process, 0xDEAD);
        WaitForSingleObject(_done, 10000);
        return false;
    }
    if (_thread.joinable()) _thread.join();
    if (_process != nullptr) {
        CloseHandle(_process);
        _process = nullptr;
    }
    exit_code = _exit_code;
    return true;
}

std::vector<DebuggedProcess::line> DebuggedProcess::lines() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _lines;
}

std::vector<std::string> DebuggedProcess::messages_of(DWORD pid) const {
    std::vector<std::string> out;
    for (const line& l : lines()) {
        if (l.pid == pid) out.push_back(LogCapture::message_of(l.text));
    }
    return out;
}

std::string DebuggedProcess::stdout_text() const { return read_file(_out_path); }
std::string DebuggedProcess::stderr_text() const { return read_file(_err_path); }
