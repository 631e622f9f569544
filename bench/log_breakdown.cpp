// Where the time of one queued log call goes: each step of the call timed on
// its own, from one thread, so a slow step stands out.
//
// Prints one "name value unit" line per step.
#include <windows.h>
#include <strsafe.h>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "log/log.h"
#include "log/log_line.h"
#include "base/module_file.h"

namespace {
constexpr int kIterations = 200000;

template <typename F>
double per_call_ns(F&& step) {
    const uint64_t start = bench_now_ns();
    for (int i = 0; i < kIterations; ++i) {
        step(i);
    }
    return static_cast<double>(bench_now_ns() - start) / kIterations;
}

struct entry {
    uint32_t level;
    uint32_t log_to;
    std::string msg;
};
char g_line[kLogLineBytes];

void format_line_v(int i, const char* format, ...) {
    va_list args;
    va_start(args, format);
    format_log_line(g_line, log_line_options{}, 0, "bench", format, args);
    va_end(args);
}

void format_line(int i) { format_line_v(i, "no response signal. wait ret=%u", static_cast<unsigned>(i)); }
}  // namespace

int main() {
    static char line[2048];
    std::printf("step_memset_2048 %.1f ns\n", per_call_ns([](int) {
        memset(line, 0, sizeof(line));
        __asm__ __volatile__("" ::: "memory");
    }));
    std::printf("step_printf_message %.1f ns\n", per_call_ns([](int i) {
        StringCchPrintfA(line, sizeof(line), "no response signal. wait ret=%u", static_cast<unsigned>(i));
    }));
    std::printf("step_printf_tag %.1f ns\n", per_call_ns([](int) { StringCchPrintfA(line, sizeof(line), "%s", "[EROR] "); }));
    std::printf("step_printf_ids %.1f ns\n", per_call_ns([](int) {
        StringCchPrintfA(line, sizeof(line), "(%+5u:%+5u) : ", GetCurrentProcessId(), GetCurrentThreadId());
    }));
    std::printf("step_printf_ws %.1f ns\n", per_call_ns([](int) { StringCchPrintfA(line, sizeof(line), "%ws", L"log_breakdown.exe"); }));
    std::printf("step_module_filename_api %.1f ns\n", per_call_ns([](int) {
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(GetModuleHandleW(nullptr), path, MAX_PATH);
    }));
    std::printf("step_module_file_silent %.1f ns\n", per_call_ns([](int) {
        std::wstring file;
        get_current_module_file_silent(file);
    }));
    std::printf("step_new_entry %.1f ns\n", per_call_ns([](int) {
        std::unique_ptr<entry> e(new entry{0, 2, line});
        __asm__ __volatile__("" ::: "memory");
    }));
    std::printf("step_format_log_line %.1f ns\n", per_call_ns([](int i) { format_line(i); }));
    static std::vector<entry*> kept(kIterations);
    std::printf("step_new_entry_kept %.1f ns\n", per_call_ns([](int i) { kept[i] = new entry{0, 2, g_line}; }));
    for (entry* e : kept) {
        delete e;
    }
    log_set_targets(0);
    std::printf("step_log_call_unqueued %.1f ns\n", per_call_ns([](int i) {
        log_write_fmt(log_category_general, log_level_error, "bench", "no response signal. wait ret=%u", static_cast<unsigned>(i));
    }));
    static boost::mutex lock;
    std::printf("step_mutex_uncontended %.1f ns\n", per_call_ns([](int) { boost::lock_guard<boost::mutex> g(lock); }));
    return 0;
}
