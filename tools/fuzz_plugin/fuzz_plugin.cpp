// TalvernP.dll for the fuzz runs: a device-event plug-in that, once started,
// calls the agent's callback from several threads with random event bytes and
// hostile drive letters (null, empty, control characters, unpaired surrogates,
// very long text, path-like prefixes, random UTF-16 units, letters without a
// drive), now and then a valid letter, and lists exactly which valid calls it
// made. Script and list: tools/fuzz_plugin/fuzz_script.h. A seed gives the same
// calls on every run; only their interleaving between threads varies.
#include "pnp/plugin_contract.h"
#include "tools/fuzz_plugin/fuzz_script.h"
#include "base/handles.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#define FUZZ_PLUGIN_EXPORT extern "C" __declspec(dllexport)

namespace {

struct script {
    uint64_t seed = 1;
    uint64_t calls = 0;
    unsigned threads = 4;
    std::vector<std::wstring> letters{L"C:"};
    std::wstring absent = L"QRSTUVWXY";
    std::wstring file;
};

// The kinds of letter a call carries, in the list's order.
enum kind { k_valid, k_absent, k_null, k_empty, k_control, k_surrogate, k_long, k_path, k_random, k_kinds };
const char* const kKindNames[k_kinds] = {"valid",     "absent", "null", "empty",  "control",
                                         "surrogate", "long",   "path", "random"};
// Out of 1,000 calls: about 2% valid, so that most of a run is what the agent must refuse.
const unsigned kKindBounds[k_kinds] = {20, 60, 100, 140, 300, 460, 520, 680, 1000};

const wchar_t* const kPathPrefixes[] = {
    L"\\\\?\\", L"\\\\.\\", L"\\??\\", L"\\\\?\\GLOBALROOT\\Device\\", L"\\Device\\HarddiskVolume1",
    L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\", L"..\\", L"//?/", L"\\\\server\\share\\",
    L"C:\\", L"C:."};

struct valid_call {
    uint8_t event;
    uint16_t letter;
    uint64_t before, after;
};

struct thread_state {
    std::vector<valid_call> valid;
    uint64_t made = 0;
    uint64_t kinds[k_kinds] = {};
};

script g_script;
void* g_context = nullptr;
device_event_fn g_callback = nullptr;
std::atomic<bool> g_stopping{false};
std::atomic<unsigned> g_running{0};
std::atomic<bool> g_list_written{false};
std::vector<unique_handle> g_threads;
std::vector<thread_state> g_states;

// splitmix64: small, fast and the same on every compiler.
struct random_source {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};

uint64_t now() {
    FILETIME f;
    GetSystemTimeAsFileTime(&f);  // the clock the agent stamps its records with
    return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

wchar_t random_unit(random_source& r) { return static_cast<wchar_t>(1 + r.below(0xFFFF)); }  // never NUL

// Builds the letter of one call; its kind is returned.
kind make_letter(random_source& r, std::wstring& text, uint16_t& valid_index) {
    const unsigned pick = r.below(1000);
    kind k = k_valid;
    while (pick >= kKindBounds[k]) k = static_cast<kind>(k + 1);
    text.clear();
    switch (k) {
    case k_valid:
        valid_index = static_cast<uint16_t>(r.below(static_cast<unsigned>(g_script.letters.size())));
        text = g_script.letters[valid_index];
        break;
    case k_absent:
        text = {g_script.absent[r.below(static_cast<unsigned>(g_script.absent.size()))], L':'};
        if (r.below(2)) text[0] = static_cast<wchar_t>(towlower(text[0]));
        break;
    case k_null:
    case k_empty:
        break;
    case k_control:  // control characters, now and then beside a letter and a colon
        for (unsigned n = 1 + r.below(8); n != 0; --n) {
            const unsigned c = r.below(4);
            text += c == 0 ? L'C' : c == 1 ? L':' : static_cast<wchar_t>(1 + r.below(31));
        }
        break;
    case k_surrogate:  // halves alone, pairs, and reversed pairs among letters
        for (unsigned n = 1 + r.below(8); n != 0; --n) {
            const unsigned c = r.below(5);
            text += c == 0 ? static_cast<wchar_t>(0xD800 + r.below(0x400))
                    : c == 1 ? static_cast<wchar_t>(0xDC00 + r.below(0x400))
                    : c == 2 ? L':' : c == 3 ? L'C' : static_cast<wchar_t>(0xDBFF);
        }
        break;
    case k_long: {  // 256 to 8,191 units, plain or random, after a valid letter or not
        const unsigned length = 256 + r.below(8192 - 256);
        if (r.below(2)) text = g_script.letters[r.below(static_cast<unsigned>(g_script.letters.size()))];
        const bool plain = r.below(2) != 0;
        while (text.size() < length) text += plain ? static_cast<wchar_t>(L'a' + r.below(26)) : random_unit(r);
        break;
    }
    case k_path:
        text = kPathPrefixes[r.below(sizeof(kPathPrefixes) / sizeof(kPathPrefixes[0]))];
        if (r.below(2)) text += g_script.letters[r.below(static_cast<unsigned>(g_script.letters.size()))];
        if (r.below(2)) text += L"\\";
        break;
    case k_random:
    case k_kinds:
        for (unsigned n = 1 + r.below(16); n != 0; --n) text += random_unit(r);
        break;
    }
    // A random mix may spell a valid letter ("C:" among control characters): it is one.
    for (size_t i = 0; k != k_valid && k != k_null && i < g_script.letters.size(); ++i) {
        if (text == g_script.letters[i]) {
            valid_index = static_cast<uint16_t>(i);
            return k_valid;
        }
    }
    return k;
}

// Writes the list of calls made, once: when the last thread is done, or at
// Stop when the agent was closed in the middle of the run.
void write_list() {
    if (g_list_written.exchange(true)) return;
    uint64_t made = 0, valid = 0, kinds[k_kinds] = {};
    for (const thread_state& s : g_states) {
        made += s.made, valid += s.valid.size();
        for (int k = 0; k < k_kinds; ++k) kinds[k] += s.kinds[k];
    }
    FILE* file = _wfopen(g_script.file.c_str(), L"w");
    if (file == nullptr) return;
    fprintf(file, "calls %llu valid %llu\n", static_cast<unsigned long long>(made),
            static_cast<unsigned long long>(valid));
    for (int k = 0; k < k_kinds; ++k) {
        fprintf(file, "kind %s %llu\n", kKindNames[k], static_cast<unsigned long long>(kinds[k]));
    }
    for (size_t s = 0; s < g_states.size(); ++s) {
        for (const valid_call& c : g_states[s].valid) {
            fprintf(file, "valid %u %u %ls %llu %llu\n", static_cast<unsigned>(s), c.event,
                    g_script.letters[c.letter].c_str(), static_cast<unsigned long long>(c.before),
                    static_cast<unsigned long long>(c.after));
        }
    }
    fclose(file);
}

DWORD WINAPI call_thread(void* parameter) {
    const unsigned t = static_cast<unsigned>(reinterpret_cast<uintptr_t>(parameter));
    thread_state& state = g_states[t];
    random_source r{g_script.seed * 0x100000001B3ull + t};
    const uint64_t share = g_script.calls / g_script.threads + (t < g_script.calls % g_script.threads ? 1 : 0);
    std::wstring text;
    text.reserve(8192);
    for (uint64_t i = 0; i < share && !g_stopping; ++i) {
        const uint8_t event = static_cast<uint8_t>(r.below(256));
        uint16_t valid_index = 0;
        const kind k = make_letter(r, text, valid_index);
        const wchar_t* letter = k == k_null ? nullptr : text.c_str();
        const uint64_t before = now();
        g_callback(g_context, event, letter);
        const uint64_t after = now();
        if (k == k_valid) state.valid.push_back({event, valid_index, before, after});
        ++state.made, ++state.kinds[k];
    }
    // The last thread to finish writes the list and tells the service.
    if (--g_running == 0 && !g_stopping) {
        write_list();
        const event_handle done(
            OpenEventW(EVENT_MODIFY_STATE, FALSE, fuzz_done_event_name(GetCurrentProcessId()).c_str()));
        if (done) SetEvent(done.get());
    }
    return 0;
}

std::vector<std::wstring> split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::wstring::npos; start = end + 1) {
        parts.push_back(text.substr(start, end - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

script read_script() {
    script s;
    wchar_t text[4096] = {};
    const DWORD length = GetEnvironmentVariableW(L"TALVERN_FUZZ", text, 4096);
    if (length == 0 || length >= 4096) return s;
    for (const std::wstring& pair : split(text, L';')) {
        const size_t equals = pair.find(L'=');
        if (equals == std::wstring::npos) continue;
        const std::wstring key = pair.substr(0, equals), value = pair.substr(equals + 1);
        if (key == L"seed") s.seed = wcstoull(value.c_str(), nullptr, 10);
        if (key == L"calls") s.calls = wcstoull(value.c_str(), nullptr, 10);
        if (key == L"threads") s.threads = static_cast<unsigned>(wcstoul(value.c_str(), nullptr, 10));
        if (key == L"letters") s.letters = split(value, L',');
        if (key == L"absent") s.absent = value;
        if (key == L"file") s.file = value;
    }
    if (s.threads == 0 || s.threads > 64) s.threads = 4;
    if (s.absent.empty()) s.absent = L"Q";
    return s;
}

}  // namespace

FUZZ_PLUGIN_EXPORT void Start(void* context, device_event_fn callback) {
    g_script = read_script();
    g_context = context;
    g_callback = callback;
    g_stopping = false;
    g_list_written = false;
    if (callback == nullptr || g_script.file.empty()) return;  // not a fuzz run
    g_states.assign(g_script.threads, thread_state());
    g_running = g_script.threads;
    for (unsigned t = 0; t < g_script.threads; ++t) {
        unique_handle thread(CreateThread(nullptr, 0, call_thread, reinterpret_cast<void*>(static_cast<uintptr_t>(t)),
                                          0, nullptr));
        if (thread) {
            g_threads.push_back(std::move(thread));
        } else {
            --g_running;
        }
    }
}

FUZZ_PLUGIN_EXPORT void Stop() {
    // No call of the callback may run or come once Stop has returned.
    g_stopping = true;
    for (const unique_handle& thread : g_threads) {
        WaitForSingleObject(thread.get(), INFINITE);
    }
    g_threads.clear();
    if (!g_script.file.empty()) write_list();  // closed in the middle of the run: what was made so far
}
