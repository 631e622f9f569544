// service_simulator.exe: plays the talvern service for one agent process.
//
// It starts the agent suspended (or attaches to a running one), creates the
// request and response events and the shared section named after the agent's
// process id, and then answers each request: the record in the section is
// printed as one JSON line on stdout and the response event is signalled.
// Status goes to stderr. It can delay or withhold answers, create only some of
// the objects or create them late, and close the agent's dialog after a number
// of records or a time. When the agent has exited it reports the exit code and
// exits with it.
#include "tools/service_side/agent_process.h"
#include "tools/service_side/agent_window.h"
#include "tools/service_side/service_objects.h"
#include "base/json_string.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kUsage[] =
    L"usage: service_simulator (--start <agent.exe> | --attach <pid>) [options]\n"
    L"\n"
    L"  --start <path>             start the agent suspended, create the objects, resume it\n"
    L"  --attach <pid>             serve an agent that is already running\n"
    L"  --objects <list>           objects to create, comma-separated from request,response,section\n"
    L"                             (default: all three)\n"
    L"  --create-after-ms <ms>     let the agent run this long before creating the objects\n"
    L"  --section-size <bytes>     size of the section, at least 4096 (default 4096)\n"
    L"  --answer-delay-ms <ms>     wait this long before signalling each response\n"
    L"  --no-answer                never signal the response event\n"
    L"  --close-after-records <n>  send WM_CLOSE to the agent's dialog after n records\n"
    L"  --close-after-ms <ms>      send WM_CLOSE to the agent's dialog after ms (from resume)\n"
    L"  --exit-after-records <n>   end the simulator (exit code 0) after n records, leaving\n"
    L"                             the agent running\n"
    L"  --timeout-ms <ms>          give up after ms: a started agent is terminated, exit code 3\n"
    L"  --help                     this text\n"
    L"\n"
    L"stdout: one JSON line per record, then {\"agent_exit_code\":N}.\n"
    L"exit code: the agent's exit code; 2 for bad arguments, 3 for a failure of the simulator.\n";

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 3;

struct options {
    std::wstring start_path;
    DWORD attach_pid = 0;
    service_objects::parts create;  // all three unless --objects says otherwise
    DWORD create_after_ms = 0;
    DWORD section_size = kSectionSize;
    DWORD answer_delay_ms = 0;
    bool no_answer = false;
    DWORD close_after_records = 0;  // 0: never
    DWORD exit_after_records = 0;   // 0: never
    DWORD close_after_ms = 0;       // 0: never
    DWORD timeout_ms = 0;           // 0: never
};

void status(const wchar_t* format, ...) {
    wchar_t text[1024];
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, 1023, format, args);
    va_end(args);
    text[1023] = L'\0';
    fwprintf(stderr, L"[service_simulator] %ls\n", text);
    fflush(stderr);
}

bool parse_number(const wchar_t* text, DWORD& value) {
    if (text == nullptr || *text == L'\0') {
        return false;
    }
    wchar_t* end = nullptr;
    const unsigned long long parsed = wcstoull(text, &end, 10);
    if (*end != L'\0' || parsed > 0xFFFFFFFFull || text[0] == L'-') {
        return false;
    }
    value = static_cast<DWORD>(parsed);
    return true;
}

// An empty list creates none of the objects.
bool parse_objects(const std::wstring& list, options& opt) {
    opt.create = {false, false, false};
    std::wstring item;
    for (size_t i = 0; i <= list.size(); ++i) {
        if (i < list.size() && list[i] != L',') {
            item.push_back(list[i]);
            continue;
        }
        if (item == L"request") {
            opt.create.request = true;
        } else if (item == L"response") {
            opt.create.response = true;
        } else if (item == L"section") {
            opt.create.section = true;
        } else if (!item.empty()) {
            return false;
        }
        item.clear();
    }
    return true;
}

// Parses the command line; false (with a message) on anything it does not know.
bool parse_arguments(int argc, wchar_t** argv, options& opt, bool& help) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const wchar_t* value = (i + 1 < argc) ? argv[i + 1] : nullptr;
        auto need_number = [&](DWORD& out) {
            if (!parse_number(value, out)) {
                status(L"%ls needs a non-negative number", arg.c_str());
                return false;
            }
            ++i;
            return true;
        };
        if (arg == L"--help" || arg == L"-h") {
            help = true;
            return false;
        } else if (arg == L"--start") {
            if (value == nullptr) {
                status(L"--start needs the agent's path");
                return false;
            }
            opt.start_path = value;
            ++i;
        } else if (arg == L"--attach") {
            if (!need_number(opt.attach_pid)) return false;
        } else if (arg == L"--objects") {
            if (value == nullptr || !parse_objects(value, opt)) {
                status(L"--objects takes a comma-separated list of request, response, section");
                return false;
            }
            ++i;
        } else if (arg == L"--create-after-ms") {
            if (!need_number(opt.create_after_ms)) return false;
        } else if (arg == L"--section-size") {
            if (!need_number(opt.section_size)) return false;
            if (opt.section_size < kSectionSize) {
                status(L"--section-size must be at least 4096: the agent maps the first 4096 bytes");
                return false;
            }
        } else if (arg == L"--answer-delay-ms") {
            if (!need_number(opt.answer_delay_ms)) return false;
        } else if (arg == L"--no-answer") {
            opt.no_answer = true;
        } else if (arg == L"--close-after-records") {
            if (!need_number(opt.close_after_records)) return false;
        } else if (arg == L"--exit-after-records") {
            if (!need_number(opt.exit_after_records)) return false;
        } else if (arg == L"--close-after-ms") {
            if (!need_number(opt.close_after_ms)) return false;
        } else if (arg == L"--timeout-ms") {
            if (!need_number(opt.timeout_ms)) return false;
        } else {
            status(L"unknown argument: %ls", arg.c_str());
            return false;
        }
    }
    if (opt.start_path.empty() == (opt.attach_pid == 0)) {
        status(L"give exactly one of --start and --attach");
        return false;
    }
    return true;
}

// JSON string literal of UTF-16 text, written as UTF-8.
std::string json_string(const std::wstring& text) {
    std::string utf8;
    if (!text.empty()) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                             nullptr, nullptr);
        utf8.resize(size > 0 ? size : 0);
        if (size > 0) {
            WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], size, nullptr,
                                nullptr);
        }
    }
    return "\"" + json_escape_string(utf8) + "\"";
}

std::string iso_time(uint64_t filetime) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(filetime);
    ft.dwHighDateTime = static_cast<DWORD>(filetime >> 32);
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st)) {
        return "null";
    }
    char text[64];
    snprintf(text, sizeof(text), "\"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ\"", st.wYear, st.wMonth, st.wDay, st.wHour,
             st.wMinute, st.wSecond, st.wMilliseconds);
    return text;
}

void print_record(unsigned long sequence, const section_record& r) {
    printf("{\"seq\":%lu,\"time\":%llu,\"time_text\":%s,\"event\":%u,\"drive_letter\":%s,\"pnp_device_id\":%s,"
           "\"serial_number\":%s,\"device_name\":%s,\"length\":%u}\n",
           sequence, static_cast<unsigned long long>(r.time), iso_time(r.time).c_str(), r.event_type,
           json_string(r.drive_letter).c_str(), json_string(r.pnp_device_id).c_str(),
           json_string(r.serial_number).c_str(), json_string(r.device_name).c_str(), r.section_length);
    fflush(stdout);
}

// Posts WM_CLOSE to the agent's dialog; false while the dialog does not exist.
bool close_agent(DWORD pid) {
    if (find_agent_dialog(pid) == nullptr) {
        return false;
    }
    status(L"sending WM_CLOSE to the agent's dialog");
    return close_agent_dialog(pid);
}

// The service's objects, each creation step noted on stderr.
bool create_objects(const options& opt, DWORD pid, service_objects& objects) {
    return objects.create(pid, opt.create, opt.section_size,
                          [](const std::wstring& line) { status(L"%ls", line.c_str()); });
}

bool start_agent(const std::wstring& path, started_process& agent) {
    if (!start_process(path, std::wstring(), true, agent)) {
        status(L"CreateProcessW(%ls) failed, gle=%lu", path.c_str(), GetLastError());
        return false;
    }
    status(L"started agent pid %lu (suspended)", agent.pid);
    return true;
}

bool resume_agent(started_process& agent) {
    if (!agent.thread) {
        return true;
    }
    if (!resume_process(agent)) {
        status(L"ResumeThread failed, gle=%lu", GetLastError());
        return false;
    }
    status(L"agent resumed");
    return true;
}

// Reads, prints and acknowledges the record of one request. A request without
// a fresh record (the agent signals both events once when it stops) is noted
// and left unanswered.
bool serve_request(const options& opt, service_objects& objects, unsigned long& records) {
    if (objects.view() == nullptr) {
        status(L"request signalled, but no section was created");
        return false;
    }
    std::vector<uint8_t> copy;
    section_record record;
    std::string error;
    const service_objects::taken taken = objects.take_record(copy, record, error);
    if (taken == service_objects::taken::nothing) {
        status(L"request signalled without a new record (the agent signals once when it stops)");
        return false;
    }
    if (taken == service_objects::taken::undecodable) {
        printf("{\"seq\":%lu,\"error\":%s}\n", records + 1, json_string(std::wstring(error.begin(), error.end())).c_str());
        fflush(stdout);
    } else {
        print_record(records + 1, record);
    }
    ++records;
    if (opt.no_answer || objects.response() == nullptr) {
        return true;
    }
    if (opt.answer_delay_ms != 0) {
        Sleep(opt.answer_delay_ms);
    }
    SetEvent(objects.response());
    return true;
}

int run(const options& opt) {
    started_process agent;
    if (!opt.start_path.empty()) {
        if (!start_agent(opt.start_path, agent)) {
            return kExitFailure;
        }
    } else {
        agent.pid = opt.attach_pid;
        agent.process.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, opt.attach_pid));
        if (!agent.process) {
            status(L"OpenProcess(%lu) failed, gle=%lu", opt.attach_pid, GetLastError());
            return kExitFailure;
        }
        status(L"attached to agent pid %lu", agent.pid);
    }

    service_objects objects;
    if (opt.create_after_ms != 0) {
        if (!resume_agent(agent)) {
            TerminateProcess(agent.process.get(), static_cast<UINT>(kExitFailure));
            return kExitFailure;
        }
        status(L"creating the objects in %lu ms", opt.create_after_ms);
        Sleep(opt.create_after_ms);
    }
    if (!create_objects(opt, agent.pid, objects) || !resume_agent(agent)) {
        if (!opt.start_path.empty()) {
            TerminateProcess(agent.process.get(), static_cast<UINT>(kExitFailure));
        }
        return kExitFailure;
    }

    const ULONGLONG started = GetTickCount64();
    ULONGLONG close_sent_at = 0;
    bool close_wanted = false;
    bool close_sent = false;
    unsigned long records = 0;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (opt.close_after_ms != 0 && now - started >= opt.close_after_ms) {
            close_wanted = true;
        }
        if (close_wanted && !close_sent) {
            close_sent = close_agent(agent.pid);
            close_sent_at = close_sent ? now : 0;
        }
        if (opt.timeout_ms != 0 && now - started >= opt.timeout_ms) {
            status(L"the agent did not exit within %lu ms", opt.timeout_ms);
            if (!opt.start_path.empty()) {
                TerminateProcess(agent.process.get(), static_cast<UINT>(kExitFailure));
            }
            return kExitFailure;
        }

        DWORD wait_ms = INFINITE;
        auto limit = [&](ULONGLONG deadline) {
            const ULONGLONG left = deadline > now ? deadline - now : 0;
            if (left < wait_ms) wait_ms = static_cast<DWORD>(left);
        };
        if (close_wanted && !close_sent) limit(now + 100);  // the dialog may not exist yet
        if (opt.close_after_ms != 0 && !close_wanted) limit(started + opt.close_after_ms);
        if (opt.timeout_ms != 0) limit(started + opt.timeout_ms);

        HANDLE handles[2] = {agent.process.get(), objects.request()};
        const DWORD count = objects.request() != nullptr ? 2 : 1;
        const DWORD ret = WaitForMultipleObjects(count, handles, FALSE, wait_ms);
        if (ret == WAIT_OBJECT_0) {
            break;  // the agent has exited
        }
        if (ret == WAIT_OBJECT_0 + 1) {
            serve_request(opt, objects, records);
            if (opt.close_after_records != 0 && records >= opt.close_after_records) {
                close_wanted = true;
            }
            if (opt.exit_after_records != 0 && records >= opt.exit_after_records) {
                status(L"served %lu record(s); leaving the agent running", records);
                return 0;
            }
        } else if (ret == WAIT_FAILED) {
            status(L"WaitForMultipleObjects failed, gle=%lu", GetLastError());
            return kExitFailure;
        }
    }

    DWORD exit_code = 0;
    if (!GetExitCodeProcess(agent.process.get(), &exit_code)) {
        status(L"GetExitCodeProcess failed, gle=%lu", GetLastError());
        return kExitFailure;
    }
    if (close_sent) {
        status(L"agent exited with code %ld after %lu record(s), %llu ms after WM_CLOSE", static_cast<long>(exit_code),
               records, GetTickCount64() - close_sent_at);
    } else {
        status(L"agent exited with code %ld after %lu record(s)", static_cast<long>(exit_code), records);
    }
    printf("{\"agent_exit_code\":%ld}\n", static_cast<long>(exit_code));
    fflush(stdout);
    return static_cast<int>(exit_code);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    options opt;
    bool help = false;
    if (!parse_arguments(argc, argv, opt, help)) {
        fwprintf(help ? stdout : stderr, L"%ls", kUsage);
        return help ? 0 : kExitUsage;
    }
    return run(opt);
}
