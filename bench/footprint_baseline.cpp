// Floor of the agent's memory after start: a process that does what the
// agent's start needs from its libraries and nothing of the agent: libcurl's
// global set-up, and one WMI connection to ROOT\CIMV2, made in the
// multithreaded apartment, that has run the three queries of the disk
// inventory once and stays open.
//
// The first process starts a second one that does this and then waits; after
// the same settling time the agent's runs give it (load_service: 1.5 s) the
// first reads the second's memory through its process handle, as load_service
// reads the agent's, and ends it.
//
// Prints "floor_pagefile_kb" (under Wine PagefileUsage carries the private
// bytes) and "floor_working_set_kb".
//
// --steps adds, one by one, other things the agent's start does beside its
// own code, so that the difference between the agent and the floor can be
// taken apart (each step is measured in a process of its own, with all the
// steps before it):
//   window  a hidden top-level window with a button, and its message loop
//   tray    a notification-area icon of that window (shell32)
//   update  one HTTP POST through libcurl to a closed port on 127.0.0.1,
//           on a thread-pool thread, as the agent's update check
//   threads three threads waiting on an event, in the place of the two the
//           agent's design runs beside its window (log writer, tray worker)
//           and of the plug-in's thread that reports the device events
// Prints "floor_<steps>_pagefile_kb" per step.
//
//   footprint_baseline [--settle-ms N] [--steps window,tray,update,threads]
//   footprint_baseline --hold <ready-event> [steps]   the measured process
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
#include <wbemidl.h>

#include <curl/curl.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "bench/wmi_queries.h"
#include "tools/service_side/agent_process.h"
#include "base/handles.h"

namespace {
LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    return DefWindowProcW(window, message, w, l);
}

HWND make_window() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = window_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"talvern_footprint";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"footprint", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                  nullptr, wc.hInstance, nullptr);
    CreateWindowExW(0, L"BUTTON", L"Exit", WS_CHILD | WS_VISIBLE, 10, 10, 80, 24, window, nullptr, wc.hInstance,
                    nullptr);
    return window;
}

void add_tray_icon(HWND window) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window;
    data.uID = 1;
    data.uFlags = NIF_ICON | NIF_TIP;
    data.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    lstrcpynW(data.szTip, L"footprint", 64);
    Shell_NotifyIconW(NIM_ADD, &data);
}

size_t discard_body(char*, size_t size, size_t count, void*) { return size * count; }

VOID CALLBACK post_once(PTP_CALLBACK_INSTANCE, PVOID done) {
    CURL* curl = curl_easy_init();
    if (curl != nullptr) {
        curl_easy_setopt(curl, CURLOPT_URL, "http://127.0.0.1:9/v1/update");
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "{}");
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discard_body);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 5L);
        curl_easy_perform(curl);  // refused: nothing listens there
        curl_easy_cleanup(curl);
    }
    SetEvent(static_cast<HANDLE>(done));
}

DWORD WINAPI wait_forever(void* event) {
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

int hold(const wchar_t* ready_name, const std::wstring& steps) {
    curl_global_init(CURL_GLOBAL_ALL);
    wmi_connection wmi;  // held, like the agent's, for as long as the process runs
    if (!wmi.open()) return 3;
    for (const wmi_query& q : kInventoryQueries) {
        run_query(wmi.services.get(), q);
    }
    HWND window = nullptr;
    if (steps.find(L"window") != std::wstring::npos) {
        window = make_window();
    }
    if (window != nullptr && steps.find(L"tray") != std::wstring::npos) {
        add_tray_icon(window);
    }
    // Held for the process's life (hold does not return from here on): after a
    // timed-out wait the pool callback may still set it.
    event_handle done;
    if (steps.find(L"update") != std::wstring::npos) {
        done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (done && TrySubmitThreadpoolCallback(&post_once, done.get(), nullptr)) {
            WaitForSingleObject(done.get(), 30000);
        }
    }
    // Like done, held for the process's life; the threads never end.
    event_handle never;
    if (steps.find(L"threads") != std::wstring::npos) {
        never.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        for (int i = 0; never && i < 3; ++i) {
            // The handle goes at once; the thread stays.
            unique_handle waiter(CreateThread(nullptr, 0, &wait_forever, never.get(), 0, nullptr));
        }
    }
    event_handle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, ready_name));
    if (ready) {
        SetEvent(ready.get());
        ready.reset();
    }
    // Ended by the measuring process; a window's messages are served meanwhile.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    Sleep(INFINITE);
    return 0;
}

// Starts the measured process with steps, lets it settle, and reads its memory.
bool measure(const std::wstring& steps, DWORD settle_ms, double& pagefile_kb, double& working_set_kb) {
    static int run = 0;
    const std::wstring ready_name = L"Local\\talvern_footprint_ready_" + std::to_wstring(GetCurrentProcessId()) +
                                    L"_" + std::to_wstring(run++);
    event_handle ready(CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str()));
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring arguments = L"--hold " + ready_name + L" " + (steps.empty() ? L"-" : steps);
    started_process measured;  // its handles go before ready
    if (!ready || !start_process(self, arguments, false, measured)) {
        std::fprintf(stderr, "cannot start the measured process, gle=%lu\n", GetLastError());
        return false;
    }
    bool ok = false;
    HANDLE wait[2] = {ready.get(), measured.process.get()};
    if (WaitForMultipleObjects(2, wait, FALSE, 60000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "the measured process did not get ready\n");
    } else {
        Sleep(settle_ms);  // the agent's runs measure after the same settling time
        PROCESS_MEMORY_COUNTERS_EX counters{};
        counters.cb = sizeof(counters);
        if (GetProcessMemoryInfo(measured.process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                 sizeof(counters))) {
            pagefile_kb = counters.PagefileUsage / 1024.0;
            working_set_kb = counters.WorkingSetSize / 1024.0;
            ok = true;
        } else {
            std::fprintf(stderr, "GetProcessMemoryInfo failed, gle=%lu\n", GetLastError());
        }
    }
    TerminateProcess(measured.process.get(), 0);
    WaitForSingleObject(measured.process.get(), 5000);
    return ok;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wcscmp(argv[1], L"--hold") == 0) {
        return hold(argv[2], argc >= 4 ? argv[3] : L"");
    }
    DWORD settle_ms = 1500;
    std::wstring steps;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::wcscmp(argv[i], L"--settle-ms") == 0) {
            settle_ms = static_cast<DWORD>(_wtoi(argv[i + 1]));
        } else if (std::wcscmp(argv[i], L"--steps") == 0) {
            steps = argv[i + 1];
        }
    }
    double pagefile_kb = 0;
    double working_set_kb = 0;
    if (!measure(L"", settle_ms, pagefile_kb, working_set_kb)) {
        return 3;
    }
    std::printf("floor_pagefile_kb %.0f\n", pagefile_kb);
    std::printf("floor_working_set_kb %.0f\n", working_set_kb);
    std::wstring done;
    size_t at = 0;
    while (at < steps.size()) {
        size_t comma = steps.find(L',', at);
        if (comma == std::wstring::npos) comma = steps.size();
        done += (done.empty() ? L"" : L"_") + steps.substr(at, comma - at);
        at = comma + 1;
        if (!measure(done, settle_ms, pagefile_kb, working_set_kb)) {
            return 3;
        }
        std::printf("floor_%ls_pagefile_kb %.0f\n", done.c_str(), pagefile_kb);
    }
    return 0;
}
