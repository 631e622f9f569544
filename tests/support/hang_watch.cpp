// Linked into every test executable: a watchdog that ends a test which hangs
// with a message naming it, instead of a silent CTest time-out.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace {

constexpr ULONGLONG kHangMs = 120000;
std::atomic<ULONGLONG> _deadline{0};  // 0: no test running
char _current[256];

struct hang_watch : testing::EmptyTestEventListener {
    hang_watch() {
        std::thread([] {
            for (;; Sleep(1000)) {
                const ULONGLONG deadline = _deadline;
                if (deadline != 0 && GetTickCount64() > deadline) {
                    fprintf(stderr, "HANG: %s did not end within %llu s\n", _current, kHangMs / 1000);
                    fflush(stderr);
                    TerminateProcess(GetCurrentProcess(), 3);
                }
            }
        }).detach();
    }
    void OnTestStart(const testing::TestInfo& info) override {
        snprintf(_current, sizeof(_current), "%s.%s", info.test_suite_name(), info.name());
        _deadline = GetTickCount64() + kHangMs;
    }
    void OnTestEnd(const testing::TestInfo&) override { _deadline = 0; }
};

const bool _installed = (testing::UnitTest::GetInstance()->listeners().Append(new hang_watch), true);

}  // namespace
