// fuzz_service.exe: plays the talvern service for a fuzz run of the plug-in
// calls. It starts the agent (normally build/fuzz-agent/, where the fuzz
// plug-in is TalvernP.dll) suspended with the plug-in's script in TALVERN_FUZZ,
// creates the service's objects with a section larger than the agent's
// 4,096-byte view, and fills the whole section with a pattern. For every
// request it checks that the record decodes, that every byte past its end (in
// the view and beyond it) still holds the pattern, fills the pattern in again
// and answers. Once the plug-in has made all its calls it reads the plug-in's
// list of valid calls, waits for their records, closes the agent's dialog and
// checks the exit; then it matches the records against the valid calls one by
// one (event byte, letter as sent, a time stamp within the call) and checks
// their disk fields.
//
//   fuzz_service.exe --agent <TalvernTray.exe> --script <TALVERN_FUZZ text> --file <list path>
//                    [--section-size 8192] [--quiet-s 60] [--exit-within-ms 10000]
//                    [--close-after-records N] [--records-file <path>]
//
// With --close-after-records the agent is closed while the plug-in still
// calls: the plug-in lists what it made by then at Stop, records still queued
// are dropped (counted, not a failure), and each record that came must still
// be the next valid call of its thread. --records-file lists every record
// ("<event> <letter> <time>"), to look into a failed run.
// stdout: one "name value" line per figure, then "result ok" or "result FAIL
// <reason>" lines. Exit code 0 when every check held, 1 when one failed, 2 for
// bad arguments, 3 when the run could not be made.
#include "tools/fuzz_plugin/fuzz_script.h"
#include "tools/service_side/agent_process.h"
#include "tools/service_side/agent_window.h"
#include "tools/service_side/section_reader.h"
#include "tools/service_side/service_objects.h"
#include "base/handles.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <map>
#include <utility>
#include <string>
#include <vector>

namespace {

constexpr size_t kViewSize = 4096;  // what the agent maps and may write

struct options {
    std::wstring agent, script, file;
    std::wstring records_file;   // when given: every record, one a line ("<event> <letter> <time>")
    DWORD section_size = 8192;
    DWORD quiet_s = 60;          // longest wait without a record or the plug-in's end: a hang
    DWORD exit_within_ms = 10000;
    DWORD close_after_records = 0;  // close the agent while the plug-in still calls (0: at the end)
};

struct call {
    unsigned thread = 0;
    unsigned event = 0;
    std::wstring letter;
    uint64_t before = 0, after = 0;
};

std::vector<std::string> g_failures;
void fail(const std::string& reason) { g_failures.push_back(reason); }

uint8_t pattern(size_t i) { return static_cast<uint8_t>(0xA5 ^ (i * 31)); }

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return out;
}

class fuzz_run {
public:
    explicit fuzz_run(const options& opt) : _opt(opt) {}

    int run();

private:
    void fill() {
        for (size_t i = 0; i < _objects.view_size(); ++i) _objects.view()[i] = pattern(i);
    }
    void serve_request();
    bool read_list();
    void match();

    const options& _opt;
    service_objects _objects;
    std::vector<section_record> _records;
    std::vector<call> _valid;
    std::map<std::string, uint64_t> _figures;
    bool _list_read = false;
};

void fuzz_run::serve_request() {
    const uint8_t* view = _objects.view();
    const std::vector<uint8_t> copy(view, view + _objects.view_size());
    bool untouched = true;  // a signal without a record: the agent signals once when it stops
    for (size_t i = 0; i < 8 && untouched; ++i) untouched = copy[i] == pattern(i);
    if (untouched) {
        ++_figures["signals_without_record"];
        return;
    }
    section_record record;
    std::string error;
    size_t end = kViewSize;  // without a record's end, only the bytes past the view are checked
    if (!read_section_record(copy.data(), kViewSize, record, error) || record.section_valid != 1) {
        ++_figures["malformed_records"];
        if (_figures["malformed_records"] <= 5) {
            fail("undecodable record: " + (error.empty() ? "valid flag not 1" : error));
        }
    } else {
        end = section_record_size(record);
        _records.push_back(record);
    }
    bool stray = false, outside = false;
    for (size_t i = end; i < copy.size(); ++i) {
        if (copy[i] != pattern(i)) (i < kViewSize ? stray : outside) = true;
    }
    if (stray) ++_figures["writes_past_record"];
    if (outside) ++_figures["writes_outside_view"];
    fill();
    SetEvent(_objects.response());
}

bool fuzz_run::read_list() {
    FILE* file = _wfopen(_opt.file.c_str(), L"r");
    if (file == nullptr) {
        fail("the plug-in's list of calls cannot be read");
        return false;
    }
    char line[512];
    while (fgets(line, sizeof(line), file)) {
        char word[64], letter[64];
        unsigned long long a = 0, b = 0;
        unsigned thread = 0, event = 0;
        if (sscanf(line, "calls %llu valid %llu", &a, &b) == 2) {
            _figures["plugin_calls"] = a, _figures["valid_calls"] = b;
        } else if (sscanf(line, "kind %63s %llu", word, &a) == 2) {
            _figures[std::string("kind_") + word] = a;
        } else if (sscanf(line, "valid %u %u %63s %llu %llu", &thread, &event, letter, &a, &b) == 5) {
            call c;
            c.thread = thread, c.event = event, c.before = a, c.after = b;
            for (const char* p = letter; *p; ++p) c.letter += static_cast<wchar_t>(*p);
            _valid.push_back(c);
        }
    }
    fclose(file);
    return true;
}

// Every record must be one valid call (same event byte, the letter as sent,
// stamped between the call's start and end) and every valid call one record.
// For each byte and letter this is matching points (record times) to
// intervals (calls): taken in time order, each record goes to the call that
// ends first among those it fits, which finds a full matching whenever there
// is one. Then each thread's records must have come in the order of its calls
// (a thread's calls queue one after the other). In a run closed part-way, only
// the last calls of a thread may lack their records (still queued at the stop).
void fuzz_run::match() {
    struct slot {
        const call* c;
        size_t record = SIZE_MAX;  // index of the matched record
    };
    std::map<std::pair<unsigned, std::wstring>, std::vector<slot>> calls;  // by byte and letter, in start order
    for (const call& c : _valid) calls[{c.event, c.letter}].push_back({&c});
    std::map<std::pair<unsigned, std::wstring>, std::vector<size_t>> records;  // indices, by byte and letter
    for (size_t i = 0; i < _records.size(); ++i) {
        records[{_records[i].event_type, _records[i].drive_letter}].push_back(i);
    }

    uint64_t unmatched = 0;
    for (auto& key : records) {
        std::vector<size_t>& points = key.second;
        std::sort(points.begin(), points.end(),
                  [&](size_t a, size_t b) { return _records[a].time < _records[b].time; });
        std::vector<slot>& slots = calls[key.first];
        std::sort(slots.begin(), slots.end(), [](const slot& a, const slot& b) { return a.c->before < b.c->before; });
        std::multimap<uint64_t, slot*> open;  // calls started by now, by their end
        size_t next = 0;
        for (size_t point : points) {
            const uint64_t t = _records[point].time;
            while (next < slots.size() && slots[next].c->before <= t) {
                open.emplace(slots[next].c->after, &slots[next]);
                ++next;
            }
            while (!open.empty() && open.begin()->first < t) open.erase(open.begin());  // ended before: never
            if (open.empty()) {
                if (++unmatched <= 5) {
                    fail("record matches no valid call: event " + std::to_string(key.first.first) + ", letter '" +
                         narrow(key.first.second) + "', time " + std::to_string(t));
                }
                continue;
            }
            open.begin()->second->record = point;
            open.erase(open.begin());
        }
    }

    // Per thread, in call order: the records' arrival order, and their disk fields.
    std::map<unsigned, std::vector<const slot*>> by_thread;
    for (const auto& key : calls) {
        for (const slot& s : key.second) by_thread[s.c->thread].push_back(&s);
    }
    std::map<std::wstring, std::wstring> disk_of;  // upper-case letter: pnp id and serial of its first record
    uint64_t missing = 0, dropped = 0, out_of_order = 0, wrong_fields = 0;
    for (auto& t : by_thread) {
        std::sort(t.second.begin(), t.second.end(),
                  [](const slot* a, const slot* b) { return a->c->before < b->c->before; });
        size_t last = 0, last_matched = 0;
        bool any = false;
        for (size_t i = 0; i < t.second.size(); ++i) {
            if (t.second[i]->record != SIZE_MAX) last_matched = i + 1;
        }
        for (size_t i = 0; i < t.second.size(); ++i) {
            const slot* s = t.second[i];
            if (s->record == SIZE_MAX) {
                // After the thread's last record, a call's record may have been dropped at a close.
                ++(i >= last_matched && _opt.close_after_records != 0 ? dropped : missing);
                continue;
            }
            if (any && s->record < last && ++out_of_order <= 5) {
                fail("thread " + std::to_string(t.first) + ": record " + std::to_string(s->record) +
                     " came before the record of an earlier call, " + std::to_string(last));
            }
            any = true, last = s->record;
            const section_record& r = _records[s->record];
            std::wstring upper = r.drive_letter;
            for (wchar_t& ch : upper) ch = static_cast<wchar_t>(towupper(ch));
            wchar_t target[1024] = {};
            const bool named = QueryDosDeviceW(upper.c_str(), target, 1024) != 0;
            const std::wstring disk = r.pnp_device_id + L"|" + r.serial_number;
            const auto known = disk_of.emplace(upper, disk).first->second;
            if (!named || r.device_name != target || r.pnp_device_id.empty() || r.serial_number.empty() ||
                known != disk) {
                if (++wrong_fields <= 5) {
                    fail("record for '" + narrow(r.drive_letter) + "' has device '" + narrow(r.device_name) +
                         "', disk '" + narrow(disk) + "'");
                }
            }
        }
    }
    _figures["records_unmatched"] = unmatched;
    _figures["records_out_of_order"] = out_of_order;
    _figures["records_wrong_fields"] = wrong_fields;
    if (_opt.close_after_records != 0) _figures["records_dropped_at_close"] = dropped;  // still queued at the stop
    _figures["records_missing"] = missing;
    if (missing) fail(std::to_string(missing) + " valid call(s) made no record");
}

int fuzz_run::run() {
    if (!SetEnvironmentVariableW(L"TALVERN_FUZZ", (_opt.script + L";file=" + _opt.file).c_str())) return 3;
    DeleteFileW(_opt.file.c_str());
    started_process agent;
    if (!start_process(_opt.agent, std::wstring(), true, agent)) {
        fwprintf(stderr, L"fuzz_service: cannot start %ls, gle=%lu\n", _opt.agent.c_str(), GetLastError());
        return 3;
    }
    const event_handle done(CreateEventW(nullptr, TRUE, FALSE, fuzz_done_event_name(agent.pid).c_str()));
    if (!done || !_objects.create(agent.pid, service_parts(), _opt.section_size)) {
        TerminateProcess(agent.process.get(), 3);
        return 3;
    }
    fill();
    const ULONGLONG started = GetTickCount64();
    if (!resume_process(agent)) {
        TerminateProcess(agent.process.get(), 3);
        return 3;
    }

    ULONGLONG last_progress = started, close_sent_at = 0;
    bool exited = false;
    while (!exited) {
        const ULONGLONG now = GetTickCount64();
        const bool all_came = _list_read && _records.size() + _figures["malformed_records"] >= _valid.size();
        const bool enough = _opt.close_after_records != 0 && _records.size() >= _opt.close_after_records;
        if ((all_came || enough) && close_sent_at == 0 && close_agent_dialog(agent.pid)) {
            close_sent_at = now;
        }
        if (close_sent_at != 0 && now - close_sent_at > _opt.exit_within_ms) {
            fail("the agent did not exit within " + std::to_string(_opt.exit_within_ms) + " ms of WM_CLOSE");
            ++_figures["hangs"];
            break;
        }
        if (close_sent_at == 0 && now - last_progress > _opt.quiet_s * 1000ull) {
            if (_list_read) {
                close_sent_at = close_agent_dialog(agent.pid) ? now : 0;  // records are missing; end the run
                last_progress = now;
                if (close_sent_at != 0) continue;
            }
            fail("nothing happened for " + std::to_string(_opt.quiet_s) + " s");
            ++_figures["hangs"];
            break;
        }
        HANDLE handles[3] = {agent.process.get(), _objects.request(), done.get()};
        const DWORD ret = WaitForMultipleObjects(_list_read ? 2 : 3, handles, FALSE, 200);
        if (ret == WAIT_OBJECT_0) {
            exited = true;
        } else if (ret == WAIT_OBJECT_0 + 1) {
            serve_request();
            last_progress = GetTickCount64();
        } else if (ret == WAIT_OBJECT_0 + 2) {
            _list_read = true;
            last_progress = GetTickCount64();
            read_list();
        }
    }
    const ULONGLONG ended = GetTickCount64();
    DWORD code = 0;
    if (!exited) {
        TerminateProcess(agent.process.get(), 3);
        WaitForSingleObject(agent.process.get(), 5000);
    } else if (GetExitCodeProcess(agent.process.get(), &code) && (code != 0 || close_sent_at == 0)) {
        ++_figures["crashes"];
        char text[64];
        snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(code));
        fail(std::string("the agent ended with exit code ") + text + (close_sent_at ? "" : " before it was closed"));
    }
    if (!_list_read && _opt.close_after_records != 0 && exited) {
        _list_read = read_list();  // written at Stop
    } else if (!_list_read) {
        fail("the plug-in never finished its calls");
    }
    match();
    if (!_opt.records_file.empty()) {
        FILE* out = _wfopen(_opt.records_file.c_str(), L"w");
        for (const section_record& r : _records) {
            if (out) fprintf(out, "%u %s %llu\n", r.event_type, narrow(r.drive_letter).c_str(),
                             static_cast<unsigned long long>(r.time));
        }
        if (out) fclose(out);
    }
    _figures["records"] = _records.size();
    _figures["run_ms"] = ended - started;
    if (close_sent_at) _figures["exit_ms_after_close"] = ended - close_sent_at;
    for (const char* name : {"writes_past_record", "writes_outside_view"}) {
        if (_figures[name] != 0) fail(std::string(name) + ": " + std::to_string(_figures[name]) + " record(s)");
    }
    for (const char* name : {"crashes", "hangs", "malformed_records"}) _figures[name] += 0;  // printed when 0 too
    for (const auto& f : _figures) printf("%s %llu\n", f.first.c_str(), static_cast<unsigned long long>(f.second));
    if (g_failures.empty()) printf("result ok\n");
    for (const std::string& f : g_failures) printf("result FAIL %s\n", f.c_str());
    fflush(stdout);
    return g_failures.empty() ? 0 : 1;
}

bool parse(int argc, wchar_t** argv, options& opt) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring key = argv[i], value = argv[i + 1];
        wchar_t* end = nullptr;
        const unsigned long n = wcstoul(value.c_str(), &end, 10);
        const bool number = !value.empty() && *end == L'\0' && iswdigit(value[0]);
        if (key == L"--agent") opt.agent = value;
        else if (key == L"--script") opt.script = value;
        else if (key == L"--file") opt.file = value;
        else if (key == L"--records-file") opt.records_file = value;
        else if (key == L"--section-size" && number && n >= kViewSize) opt.section_size = n;
        else if (key == L"--quiet-s" && number && n > 0) opt.quiet_s = n;
        else if (key == L"--exit-within-ms" && number && n > 0) opt.exit_within_ms = n;
        else if (key == L"--close-after-records" && number) opt.close_after_records = n;
        else {
            fwprintf(stderr, L"fuzz_service: bad option or value: %ls %ls\n", key.c_str(), value.c_str());
            return false;
        }
    }
    if (argc % 2 == 0) {
        fwprintf(stderr, L"fuzz_service: %ls wants a value\n", argv[argc - 1]);
        return false;
    }
    if (opt.agent.empty() || opt.script.empty() || opt.file.empty()) {
        fwprintf(stderr, L"fuzz_service: --agent, --script and --file are needed\n");
        return false;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    options opt;
    if (!parse(argc, argv, opt)) {
        fwprintf(stderr, L"usage: fuzz_service --agent <exe> --script <text> --file <path> [--section-size N]"
                         L" [--quiet-s S] [--exit-within-ms MS] [--close-after-records N]"
                         L" [--records-file <path>]\n");
        return 2;
    }
    return fuzz_run(opt).run();
}
