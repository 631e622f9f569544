// TalvernP.dll for load and fault runs: a device-event plug-in that, once
// started, reports a scripted stream of events from one or more threads of its
// own. The script comes from the environment variable TALVERN_LOAD, which the
// driver (load_service.exe) sets before it starts the agent:
//
//   count=N        valid events per thread and batch (default 0)
//   threads=T      reporting threads (default 1)
//   batches=B      batches; each waits for the go event (default 1)
//   event=E        fixed event byte; without it the byte numbers the events
//   letters=C:,Z:  drive letters used in turn (default C:)
//   bad_every=K    after every K-th valid event, one malformed letter too
//   flood=F        before each batch's events, F malformed letters of 2,000
//                  characters each, as fast as the callback takes them (each
//                  costs the agent a long error line: a flood of the log)
//   pace=1         after each valid event wait for the pace event
//   gap_ms=G       and then G ms more before the next one, so that each event
//                  finds the agent idle, as sparse device events do
//   turns=N        take turns with a floor run (delivery_baseline --turns N):
//                  before each event give the floor its turn and wait for ours
//
// Numbered events: thread t of T sends the bytes 2 + t + T * (i mod (254 / T)),
// never 1, so the receiver can check order, loss and doubles per thread.
// Named events (suffix: the agent's process id), created by the driver:
//   Global\talvern_load_started_<pid>  set here when Start has been called
//   Global\talvern_load_go<b>_<pid>    the driver's signal to fire batch b (0, 1, ...)
//   Global\talvern_load_pace_<pid>     the driver's signal after each receipt
// and, when the driver made it, the section Global\talvern_load_stamps_<pid>:
// for event i of thread 0, two precise FILETIMEs at [2i] and [2i+1], taken
// just before the callback is called and just after it returns.
#include "pnp/plugin_contract.h"
#include "tools/load_plugin/load_names.h"
#include "base/handles.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#define LOAD_PLUGIN_EXPORT extern "C" __declspec(dllexport)

namespace {

struct script {
    unsigned count = 0;
    unsigned threads = 1;
    unsigned batches = 1;
    int event = -1;
    std::vector<std::wstring> letters{L"C:"};
    unsigned bad_every = 0;
    unsigned flood = 0;
    bool pace = false;
    unsigned gap_ms = 0;
    std::wstring turns;  // the tag of the turn events, empty without turns
};

script g_script;
void* g_context = nullptr;
device_event_fn g_callback = nullptr;
std::atomic<bool> g_stopping{false};
std::vector<unique_handle> g_threads;
std::vector<event_handle> g_go;  // one manual-reset event per batch
event_handle g_pace;
event_handle g_my_turn;     // with turns: ours
event_handle g_their_turn;  // with turns: the floor's
event_handle g_stop_event;  // wakes waiting threads on Stop
section_handle g_stamps_section;
mapped_view g_stamps_view;
uint64_t* g_stamps = nullptr;  // g_stamps_view's FILETIME pairs

uint64_t precise_now() {
    FILETIME f;
    GetSystemTimePreciseAsFileTime(&f);
    return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

// Malformed drive letters the agent must refuse without harm.
const wchar_t* const kBadLetters[] = {L"", L"C", L"C:\\", L"CC", L"1:", L"c:x", L"\x00e9:", nullptr};

script read_script() {
    script s;
    wchar_t text[1024] = {};
    if (GetEnvironmentVariableW(L"TALVERN_LOAD", text, 1024) == 0) {
        return s;
    }
    std::wstring all = text;
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t end = all.find(L';', pos);
        if (end == std::wstring::npos) end = all.size();
        const std::wstring item = all.substr(pos, end - pos);
        pos = end + 1;
        const size_t eq = item.find(L'=');
        if (eq == std::wstring::npos) continue;
        const std::wstring key = item.substr(0, eq);
        const std::wstring value = item.substr(eq + 1);
        const unsigned number = static_cast<unsigned>(wcstoul(value.c_str(), nullptr, 10));
        if (key == L"count") s.count = number;
        else if (key == L"threads") s.threads = number == 0 ? 1 : number;
        else if (key == L"batches") s.batches = number == 0 ? 1 : number;
        else if (key == L"event") s.event = static_cast<int>(number & 0xFF);
        else if (key == L"bad_every") s.bad_every = number;
        else if (key == L"flood") s.flood = number;
        else if (key == L"pace") s.pace = number != 0;
        else if (key == L"gap_ms") s.gap_ms = number;
        else if (key == L"turns") s.turns = value;
        else if (key == L"letters") {
            s.letters.clear();
            size_t p = 0;
            while (p <= value.size()) {
                size_t e = value.find(L',', p);
                if (e == std::wstring::npos) e = value.size();
                if (e > p) s.letters.push_back(value.substr(p, e - p));
                p = e + 1;
            }
            if (s.letters.empty()) s.letters.push_back(L"C:");
        }
    }
    return s;
}

// How long a turn may take the floor before the plug-in goes on alone.
const DWORD kTurnWaitMs = 60000;

// Waits for a driver signal; false when Stop came first.
bool wait_signal(HANDLE signal) {
    HANDLE handles[2] = {g_stop_event.get(), signal};
    return WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

DWORD WINAPI fire_thread(void* parameter) {
    const unsigned t = static_cast<unsigned>(reinterpret_cast<uintptr_t>(parameter));
    const unsigned period = 254 / g_script.threads;
    unsigned bad = 0;
    unsigned number = 0;
    for (unsigned batch = 0; batch < g_script.batches; ++batch) {
        if (!wait_signal(g_go[batch].get())) return 0;
        const std::wstring long_bad_letter(2000, L'?');
        for (unsigned i = 0; i < g_script.flood && !g_stopping; ++i) {
            g_callback(g_context, 0, long_bad_letter.c_str());
        }
        for (unsigned i = 0; i < g_script.count && !g_stopping; ++i, ++number) {
            if (g_my_turn) {
                SetEvent(g_their_turn.get());
                HANDLE handles[2] = {g_stop_event.get(), g_my_turn.get()};
                const DWORD woke = WaitForMultipleObjects(2, handles, FALSE, kTurnWaitMs);
                if (woke == WAIT_OBJECT_0) return 0;
                if (woke != WAIT_OBJECT_0 + 1) g_my_turn.reset();  // the floor is gone: go on alone
            }
            const uint8_t byte = g_script.event >= 0
                                     ? static_cast<uint8_t>(g_script.event)
                                     : static_cast<uint8_t>(2 + t + g_script.threads * (number % period));
            const std::wstring& letter = g_script.letters[number % g_script.letters.size()];
            uint64_t* stamp = (t == 0 && g_stamps != nullptr && number < kLoadStampEvents) ? g_stamps + 2 * number : nullptr;
            if (stamp != nullptr) stamp[0] = precise_now();
            g_callback(g_context, byte, letter.c_str());
            if (stamp != nullptr) stamp[1] = precise_now();
            if (g_script.bad_every != 0 && (i + 1) % g_script.bad_every == 0) {
                const wchar_t* bad_letter = kBadLetters[bad++ % (sizeof(kBadLetters) / sizeof(kBadLetters[0]))];
                g_callback(g_context, byte, bad_letter);
            }
            if (g_script.pace && !wait_signal(g_pace.get())) return 0;
            if (g_script.gap_ms != 0 && WaitForSingleObject(g_stop_event.get(), g_script.gap_ms) == WAIT_OBJECT_0) {
                return 0;
            }
        }
    }
    return 0;
}

}  // namespace

LOAD_PLUGIN_EXPORT void Start(void* context, device_event_fn callback) {
    const DWORD pid = GetCurrentProcessId();
    g_script = read_script();
    g_context = context;
    g_callback = callback;
    g_stopping = false;
    g_stop_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    bool ready = g_stop_event && callback != nullptr;
    for (unsigned b = 0; ready && b < g_script.batches; ++b) {
        event_handle go(OpenEventW(SYNCHRONIZE, FALSE, load_go_event_name(b, pid).c_str()));
        ready = static_cast<bool>(go);  // without it the driver did not prepare this run
        if (ready) g_go.push_back(std::move(go));
    }
    g_pace.reset(OpenEventW(SYNCHRONIZE, FALSE, load_object_name(L"pace", pid).c_str()));
    g_stamps_section.reset(OpenFileMappingW(FILE_MAP_WRITE, FALSE, load_object_name(L"stamps", pid).c_str()));
    if (g_stamps_section) {
        g_stamps_view.reset(MapViewOfFile(g_stamps_section.get(), FILE_MAP_WRITE, 0, 0, kLoadStampsSize));
        g_stamps = static_cast<uint64_t*>(g_stamps_view.get());
    }
    if (g_script.pace && !g_pace) ready = false;
    if (!g_script.turns.empty()) {
        g_my_turn.reset(CreateEventW(nullptr, FALSE, FALSE, load_turn_event_name(L"agent", g_script.turns).c_str()));
        g_their_turn.reset(CreateEventW(nullptr, FALSE, FALSE, load_turn_event_name(L"floor", g_script.turns).c_str()));
        if (!g_my_turn || !g_their_turn) ready = false;
    }
    for (unsigned t = 0; ready && (g_script.count != 0 || g_script.flood != 0) && t < g_script.threads; ++t) {
        unique_handle thread(CreateThread(nullptr, 0, fire_thread, reinterpret_cast<void*>(static_cast<uintptr_t>(t)),
                                          0, nullptr));
        if (thread) g_threads.push_back(std::move(thread));
    }
    // Tells the driver that the agent has come this far (also with nothing to fire).
    const event_handle started(OpenEventW(EVENT_MODIFY_STATE, FALSE, load_object_name(L"started", pid).c_str()));
    if (started) SetEvent(started.get());
}

LOAD_PLUGIN_EXPORT void Stop() {
    // No call of the callback may run or come once Stop has returned.
    g_stopping = true;
    if (g_stop_event) SetEvent(g_stop_event.get());
    for (const unique_handle& thread : g_threads) {
        WaitForSingleObject(thread.get(), INFINITE);
    }
    g_threads.clear();
    g_go.clear();
    g_stamps = nullptr;
    g_stamps_view.reset();
    g_pace.reset();
    g_my_turn.reset();
    g_their_turn.reset();
    g_stop_event.reset();
    g_stamps_section.reset();
}
