// load_service.exe: plays the talvern service for load, fault and benchmark
// runs of the agent. It starts the agent (normally build/load-agent/, where the
// load plug-in is TalvernP.dll) suspended with the plug-in's script in
// TALVERN_LOAD, creates the service's objects and the plug-in's signals, and
// then releases the plug-in's batches one by one while it answers every
// request. For each record it keeps the reception time, so it can report the
// latency from the plug-in's callback (the record's FILETIME) to reception,
// the delivery rate, and whether the numbered events came in order, once each.
// It reads the agent's memory and CPU time through its process handle, can
// answer slowly, can stop answering as if the service had died, and ends the
// run with WM_CLOSE to the agent's dialog.
//
// stdout: one "name value" line per figure, then "result ok" or
// "result FAIL <reason>" lines. Exit code 0 when every check held, 1 when one
// failed, 2 for bad arguments, 3 when the run could not be made.
#include "tools/load_plugin/load_names.h"
#include "tools/service_side/agent_process.h"
#include "tools/service_side/agent_window.h"
#include "tools/service_side/service_objects.h"
#include "base/handles.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct options {
    std::wstring agent;
    std::wstring script;
    std::wstring samples;        // every latency (us) of the run, one a line, into this file
    unsigned batches = 1;
    unsigned expect = 0;         // valid records per batch
    unsigned threads = 1;        // numbered events: reporting threads (0: no sequence check)
    unsigned answer_delay_ms = 0;
    unsigned die_after = 0;      // stop answering after this many records (0: never)
    unsigned close_after = 0;    // WM_CLOSE once this many records came (0: after the batches)
    unsigned settle_ms = 1500;   // after start, before the first figures
    unsigned drain_ms = 1500;    // after a batch, before the "drained" figures
    unsigned idle_cpu_s = 0;     // idle CPU time measured over this long
    unsigned hold_ms = 0;        // keep serving this long before WM_CLOSE
    unsigned exit_within_ms = 10000;
    unsigned timeout_s = 300;
    int expect_exit = 0;
    bool pace = false;
    bool no_answer = false;      // receive, never answer
    bool started_by_dialog = false;  // go on once the agent's dialog exists (no plug-in needed)
};

std::vector<std::string> g_failures;

void fail(const std::string& reason) { g_failures.push_back(reason); }

void status(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "[load_service] ");
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    fflush(stderr);
    va_end(args);
}

bool number_arg(const wchar_t* text, unsigned& out) {
    if (text == nullptr || *text == L'\0') return false;
    wchar_t* end = nullptr;
    const unsigned long value = wcstoul(text, &end, 10);
    if (*end != L'\0') return false;
    out = static_cast<unsigned>(value);
    return true;
}

bool parse(int argc, wchar_t** argv, options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const wchar_t* v = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned* target = nullptr;
        if (a == L"--agent" && v) { o.agent = v; ++i; continue; }
        if (a == L"--script" && v) { o.script = v; ++i; continue; }
        if (a == L"--samples" && v) { o.samples = v; ++i; continue; }
        if (a == L"--pace") { o.pace = true; continue; }
        if (a == L"--no-answer") { o.no_answer = true; continue; }
        if (a == L"--started-by-dialog") { o.started_by_dialog = true; continue; }
        if (a == L"--batches") target = &o.batches;
        else if (a == L"--expect") target = &o.expect;
        else if (a == L"--threads") target = &o.threads;
        else if (a == L"--answer-delay-ms") target = &o.answer_delay_ms;
        else if (a == L"--die-after") target = &o.die_after;
        else if (a == L"--close-after") target = &o.close_after;
        else if (a == L"--settle-ms") target = &o.settle_ms;
        else if (a == L"--drain-ms") target = &o.drain_ms;
        else if (a == L"--idle-cpu-s") target = &o.idle_cpu_s;
        else if (a == L"--hold-ms") target = &o.hold_ms;
        else if (a == L"--exit-within-ms") target = &o.exit_within_ms;
        else if (a == L"--timeout-s") target = &o.timeout_s;
        else if (a == L"--expect-exit" && v) { o.expect_exit = _wtoi(v); ++i; continue; }
        if (target == nullptr || !number_arg(v, *target)) {
            fwprintf(stderr, L"load_service: bad argument %ls\n", a.c_str());
            return false;
        }
        ++i;
    }
    if (o.agent.empty()) {
        fwprintf(stderr, L"usage: load_service --agent <TalvernTray.exe> --script <TALVERN_LOAD> [options]\n");
        return false;
    }
    if (o.batches == 0) o.batches = 1;
    return true;
}

// Wine fills PrivateUsage and PagefileUsage from the process's swap use, so
// under Wine they read 0 unless it swaps; the working set (resident memory)
// is the figure that moves.
struct memory_figures {
    double private_kb = 0;
    double working_set_kb = 0;
    double pagefile_kb = 0;
};

memory_figures memory_of(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    memory_figures m;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters))) {
        m.private_kb = counters.PrivateUsage / 1024.0;
        m.working_set_kb = counters.WorkingSetSize / 1024.0;
        m.pagefile_kb = counters.PagefileUsage / 1024.0;
    } else {
        status("GetProcessMemoryInfo failed, gle=%lu", GetLastError());
    }
    return m;
}

// Reads a small file whole; empty on failure.
std::string read_small_file(const std::wstring& path) {
    const file_handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
    if (!file) return std::string();
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got != 0 && text.size() < 65536) {
        text.append(buffer, got);
    }
    return text;
}

// CPU time of a process, by the unique mark on its command line. Under Wine,
// GetProcessTimes on another process answers with the caller's own times, so
// the figure comes from the host's /proc (seen as Z:\proc): utime + stime of
// the Unix process whose command line holds mark. -1 when it is not found.
class cpu_meter {
public:
    explicit cpu_meter(std::string mark) : _mark(std::move(mark)) {}

    double ms() {
        if (_unix_pid.empty()) find();
        if (_unix_pid.empty()) return -1;
        const std::string stat = read_small_file(L"Z:\\proc\\" + _unix_pid + L"\\stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) return -1;
        // Fields after the name: state is field 3; utime and stime are 14 and 15.
        unsigned long long values[13] = {};
        int field = 3;
        size_t pos = close + 2;
        while (field <= 15 && pos < stat.size()) {
            const size_t end = stat.find(' ', pos);
            if (field >= 14) values[field - 14] = strtoull(stat.c_str() + pos, nullptr, 10);
            ++field;
            if (end == std::string::npos) break;
            pos = end + 1;
        }
        return (values[0] + values[1]) * 10.0;  // clock ticks of 10 ms
    }

private:
    void find() {
        WIN32_FIND_DATAW entry;
        const find_handle search(FindFirstFileW(L"Z:\\proc\\*", &entry));
        if (!search) return;
        do {
            const std::wstring name = entry.cFileName;
            if (name.empty() || name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
            std::string command = read_small_file(L"Z:\\proc\\" + name + L"\\cmdline");
            for (char& c : command) {
                if (c == '\0') c = ' ';
            }
            if ((command + " ").find(" " + _mark + " ") != std::string::npos) {
                _unix_pid = name;
                break;
            }
        } while (FindNextFileW(search.get(), &entry));
    }

    std::string _mark;
    std::wstring _unix_pid;
};

uint64_t now_filetime() {
    FILETIME f;
    GetSystemTimePreciseAsFileTime(&f);
    return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

struct received {
    uint64_t sent;      // the record's FILETIME, taken in the agent's callback
    uint64_t received;  // FILETIME here, when the request was seen
    uint8_t event;
};

class run_state {
public:
    explicit run_state(const options& o) : _o(o) {}
    run_state(const run_state&) = delete;
    run_state& operator=(const run_state&) = delete;

    int run() {
        if (!start()) return 3;
        const ULONGLONG deadline = GetTickCount64() + _o.timeout_s * 1000ull;
        _deadline = deadline;

        HANDLE started_wait[2] = {_agent.process.get(), _started.get()};
        DWORD ret = WAIT_TIMEOUT;
        for (int waited = 0; waited < 600 && ret == WAIT_TIMEOUT; ++waited) {
            ret = WaitForMultipleObjects(2, started_wait, FALSE, 100);
            if (ret == WAIT_TIMEOUT && _o.started_by_dialog && find_agent_dialog(_agent.pid) != nullptr) {
                ret = WAIT_OBJECT_0 + 1;
            }
        }
        if (ret != WAIT_OBJECT_0 + 1) {
            DWORD code = 0;
            GetExitCodeProcess(_agent.process.get(), &code);
            status("the plug-in was not started (wait %lu, agent exit code %ld)", ret, static_cast<long>(code));
            printf("agent_exit_code %ld\n", static_cast<long>(code));
            if (ret == WAIT_OBJECT_0 && static_cast<int>(code) == _o.expect_exit) {
                printf("result ok\n");
                return 0;
            }
            TerminateProcess(_agent.process.get(), 3);
            printf("result FAIL plug-in not started\n");
            return 1;
        }
        serve_for(_o.settle_ms);
        report_memory("start");
        cpu_meter agent_cpu(_agent_mark);
        const double cpu_start = agent_cpu.ms();

        bool closing = false;
        for (unsigned b = 0; b < _o.batches && !closing; ++b) {
            SetEvent(_go[b].get());
            const size_t target = static_cast<size_t>(_o.expect) * (b + 1);
            const ULONGLONG begun = GetTickCount64();
            while (_records.size() < target && !timed_out() && alive()) {
                if (_o.close_after != 0 && _records.size() >= _o.close_after) break;
                if (_o.die_after != 0 && _answering == false && _records.size() >= _o.die_after) break;
                serve(100);
            }
            printf("batch%u_ms %llu\n", b, GetTickCount64() - begun);
            if (_o.close_after != 0 && _records.size() >= _o.close_after) {
                closing = true;
                break;
            }
            if (!_answering) break;  // the service "died": the rest is the agent's
            report_memory(("loaded" + std::to_string(b)).c_str());
            serve_for(_o.drain_ms);
            report_memory(("drained" + std::to_string(b)).c_str());
        }
        if (_o.idle_cpu_s != 0) {
            // Beside the agent, a bare Wine process that only sleeps: the
            // baseline of idle CPU time and memory.
            const unique_handle sleeper = start_sleeper(_o.idle_cpu_s * 1000 + 5000);
            cpu_meter sleeper_cpu(_agent_mark + "-sleeper");
            serve_for(1000);
            const double before = agent_cpu.ms();
            const double sleeper_before = sleeper_cpu.ms();
            serve_for(_o.idle_cpu_s * 1000);
            const double after = agent_cpu.ms();
            printf("idle_cpu_ms %.1f\n", after - before);
            printf("idle_cpu_s %u\n", _o.idle_cpu_s);
            if (sleeper) {
                printf("sleeper_idle_cpu_ms %.1f\n", sleeper_cpu.ms() - sleeper_before);
                const memory_figures m = memory_of(sleeper.get());
                printf("sleeper_pagefile_kb %.0f\n", m.pagefile_kb);
                printf("sleeper_working_set_kb %.0f\n", m.working_set_kb);
                TerminateProcess(sleeper.get(), 0);
            }
        }
        printf("cpu_ms_total %.1f\n", agent_cpu.ms() - cpu_start);
        serve_for(_o.hold_ms);

        if (!alive()) {
            fail("the agent ended before WM_CLOSE");
        }
        return finish();
    }

private:
    bool start() {
        SetEnvironmentVariableW(L"TALVERN_LOAD", _o.script.c_str());
        // The agent ignores its arguments: this one only marks its process.
        const std::string mark = "--load-run=" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(GetTickCount64());
        _agent_mark = mark;
        if (!start_process(_o.agent, std::wstring(mark.begin(), mark.end()), true, _agent)) {
            status("CreateProcessW failed, gle=%lu", GetLastError());
            return false;
        }
        const DWORD pid = _agent.pid;
        bool made = _service.create(pid);
        _started.reset(CreateEventW(nullptr, TRUE, FALSE, load_object_name(L"started", pid).c_str()));
        _pace.reset(CreateEventW(nullptr, FALSE, FALSE, load_object_name(L"pace", pid).c_str()));
        _stamps_section.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kLoadStampsSize,
                                                 load_object_name(L"stamps", pid).c_str()));
        if (_stamps_section) _stamps.reset(MapViewOfFile(_stamps_section.get(), FILE_MAP_READ, 0, 0, 0));
        for (unsigned b = 0; b < _o.batches; ++b) {
            _go.emplace_back(CreateEventW(nullptr, TRUE, FALSE, load_go_event_name(b, pid).c_str()));
        }
        made = made && _started && _pace && _go.back();
        if (!made) {
            status("creating the service's objects failed, gle=%lu", GetLastError());
            TerminateProcess(_agent.process.get(), 3);
            return false;
        }
        resume_process(_agent);
        status("agent pid %lu started", _agent.pid);
        return true;
    }

    unique_handle start_sleeper(unsigned ms) {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        const std::string mark = _agent_mark + "-sleeper";
        started_process sleeper;
        start_process(self, L"--sleep-ms " + std::to_wstring(ms) + L" " + std::wstring(mark.begin(), mark.end()),
                      false, sleeper);
        return std::move(sleeper.process);
    }

    bool alive() const { return WaitForSingleObject(_agent.process.get(), 0) == WAIT_TIMEOUT; }
    bool timed_out() const { return GetTickCount64() >= _deadline; }

    void serve_for(unsigned ms) {
        const ULONGLONG end = GetTickCount64() + ms;
        while (!timed_out() && alive()) {
            const ULONGLONG now = GetTickCount64();
            if (now >= end) break;
            serve(static_cast<DWORD>(std::min<ULONGLONG>(end - now, 100)));
        }
    }

    // Waits up to ms for one request and answers it.
    void serve(DWORD ms) {
        if (_service.request() == nullptr) {
            Sleep(ms);
            return;
        }
        const DWORD ret = WaitForSingleObject(_service.request(), ms);
        if (ret != WAIT_OBJECT_0) return;
        const uint64_t at = now_filetime();
        section_record record;
        std::string error;
        const service_objects::taken taken = _service.take_record(_copy, record, error);
        if (taken == service_objects::taken::nothing) {
            ++_empty_requests;  // the agent signals once when it stops
            return;
        }
        if (taken == service_objects::taken::undecodable) {
            fail("undecodable record: " + error);
        } else {
            _records.push_back(received{record.time, at, record.event_type});
            check_sequence(record.event_type);
        }
        if (_o.die_after != 0 && _records.size() >= _o.die_after) {
            // The service dies: its handles go as they would with its process.
            status("service dies after %zu records", _records.size());
            _answering = false;
            _service.close();
            return;
        }
        if (_o.no_answer) return;
        if (_o.answer_delay_ms != 0) Sleep(_o.answer_delay_ms);
        SetEvent(_service.response());
        if (_o.pace) SetEvent(_pace.get());
    }

    void check_sequence(uint8_t event) {
        if (_o.threads == 0) return;
        const unsigned period = 254 / _o.threads;
        if (event < 2) {
            ++_sequence_errors;
            return;
        }
        const unsigned d = event - 2u;
        const unsigned t = d % _o.threads;
        if (t >= _next.size()) _next.resize(_o.threads, 0);
        if (d / _o.threads != _next[t] % period) ++_sequence_errors;
        ++_next[t];
    }

    void report_memory(const char* when) {
        const memory_figures m = memory_of(_agent.process.get());
        printf("mem_%s_private_kb %.0f\n", when, m.private_kb);
        printf("mem_%s_working_set_kb %.0f\n", when, m.working_set_kb);
        printf("mem_%s_pagefile_kb %.0f\n", when, m.pagefile_kb);
        fflush(stdout);
    }

    int finish() {
        if (!close_agent_dialog(_agent.pid)) fail("no dialog to close");
        const ULONGLONG asked = GetTickCount64();
        while (alive() && GetTickCount64() - asked < _o.exit_within_ms + 5000ull) {
            serve(50);
        }
        const ULONGLONG took = GetTickCount64() - asked;
        if (alive()) {
            fail("the agent did not exit");
            TerminateProcess(_agent.process.get(), 3);
            WaitForSingleObject(_agent.process.get(), 5000);
        } else if (took > _o.exit_within_ms) {
            fail("the agent took " + std::to_string(took) + " ms to exit");
        }
        DWORD code = 0;
        GetExitCodeProcess(_agent.process.get(), &code);
        printf("close_to_exit_ms %llu\n", took);
        printf("agent_exit_code %ld\n", static_cast<long>(code));
        if (static_cast<int>(code) != _o.expect_exit) fail("exit code " + std::to_string(static_cast<long>(code)));
        report_records();
        report_stamps();
        if (g_failures.empty()) {
            printf("result ok\n");
            return 0;
        }
        for (const std::string& f : g_failures) printf("result FAIL %s\n", f.c_str());
        return 1;
    }

    void report_records() {
        printf("records %zu\n", _records.size());
        printf("sequence_errors %u\n", _sequence_errors);
        const size_t expected = static_cast<size_t>(_o.expect) * _o.batches;
        if (_o.close_after == 0 && _o.die_after == 0 && _records.size() != expected) {
            fail("records " + std::to_string(_records.size()) + " of " + std::to_string(expected));
        }
        if (_sequence_errors != 0) fail("events out of order, lost or doubled");
        if (_records.empty()) return;
        std::vector<double> latency;
        latency.reserve(_records.size());
        uint64_t first_sent = _records.front().sent;
        uint64_t last_received = _records.front().received;
        for (const received& r : _records) {
            latency.push_back(r.received >= r.sent ? (r.received - r.sent) / 10.0 : 0.0);
            first_sent = std::min(first_sent, r.sent);
            last_received = std::max(last_received, r.received);
        }
        if (!_o.samples.empty()) write_samples(latency);
        std::sort(latency.begin(), latency.end());
        auto pct = [&](double p) { return latency[static_cast<size_t>(p / 100.0 * (latency.size() - 1) + 0.5)]; };
        printf("latency_p50_us %.1f\n", pct(50));
        printf("latency_p99_us %.1f\n", pct(99));
        printf("latency_max_us %.1f\n", latency.back());
        // Rate of the first batch: from its first callback to its last reception.
        const size_t n = std::min(_records.size(), static_cast<size_t>(_o.expect ? _o.expect : _records.size()));
        uint64_t batch_first = _records[0].sent;
        uint64_t batch_last = _records[0].received;
        for (size_t i = 0; i < n; ++i) {
            batch_first = std::min(batch_first, _records[i].sent);
            batch_last = std::max(batch_last, _records[i].received);
        }
        if (batch_last > batch_first) printf("rate_per_s %.0f\n", n / ((batch_last - batch_first) / 1e7));
    }

    void write_samples(const std::vector<double>& latency) {
        FILE* out = _wfopen(_o.samples.c_str(), L"w");
        if (out == nullptr) {
            fail("cannot write the samples file");
            return;
        }
        for (double v : latency) fprintf(out, "%.1f\n", v);
        fclose(out);
    }

    // With one reporting thread, the plug-in's own precise stamps around each
    // callback: the latency from the call (not the record's FILETIME), how long
    // the callback took (lookup, record, queueing), and the rest (worker wake,
    // section write, signal, the service's wake).
    void report_stamps() {
        if (!_stamps || _o.threads != 1) return;
        const auto* stamps = static_cast<const uint64_t*>(_stamps.get());
        std::vector<double> from_call, in_callback, after_callback;
        for (size_t i = 0; i < _records.size() && i < kLoadStampEvents && i < _o.expect; ++i) {
            const uint64_t before = stamps[2 * i];
            const uint64_t after = stamps[2 * i + 1];
            const uint64_t at = _records[i].received;
            if (before == 0 || after < before || at < before) continue;
            from_call.push_back((at - before) / 10.0);
            in_callback.push_back((after - before) / 10.0);
            after_callback.push_back(at > after ? (at - after) / 10.0 : 0.0);
        }
        if (from_call.empty()) return;
        auto p = [](std::vector<double>& v, double q) {
            std::sort(v.begin(), v.end());
            return v[static_cast<size_t>(q / 100.0 * (v.size() - 1) + 0.5)];
        };
        printf("call_latency_p50_us %.1f\n", p(from_call, 50));
        printf("call_latency_p99_us %.1f\n", p(from_call, 99));
        printf("callback_p50_us %.1f\n", p(in_callback, 50));
        printf("after_callback_p50_us %.1f\n", p(after_callback, 50));
    }

    const options& _o;
    std::string _agent_mark;
    started_process _agent;
    service_objects _service;
    std::vector<uint8_t> _copy;  // the section as the last request found it
    event_handle _started;
    event_handle _pace;
    std::vector<event_handle> _go;
    section_handle _stamps_section;
    mapped_view _stamps;
    std::vector<received> _records;
    std::vector<unsigned> _next;
    unsigned _sequence_errors = 0;
    unsigned _empty_requests = 0;
    bool _answering = true;
    ULONGLONG _deadline = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && wcscmp(argv[1], L"--sleep-ms") == 0) {
        Sleep(static_cast<DWORD>(_wtoi(argv[2])));  // the idle baseline process
        return 0;
    }
    options o;
    if (!parse(argc, argv, o)) return 2;
    run_state state(o);
    const int code = state.run();
    fflush(stdout);
    return code;
}
