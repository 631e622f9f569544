// Start, stop and ownership of the logger: direct writes before start and after
// stop, the writer thread, draining at finalize_log(), and lines' sinks.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/log_settings.h"
#include "tests/log/log_test_support.h"

using logtest::capture;
using logtest::line;

namespace {
class Logger : public testing::Test {
protected:
    void SetUp() override { logtest::reset_logger(); }
    void TearDown() override { logtest::reset_logger(); }
};

// Records each debugger line with the thread that wrote it.
struct recorder {
    std::mutex lock;
    std::vector<std::string> lines;
    std::vector<DWORD> threads;

    static void observe(void* context, const char* text) {
        auto* self = static_cast<recorder*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->lines.emplace_back(text);
        self->threads.push_back(GetCurrentThreadId());
    }
};

size_t thread_count() {
    size_t n = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        n += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return n;
}
}  // namespace

TEST_F(Logger, FreshProcessLogsInfoToTheDebuggerOnly) {
    EXPECT_EQ(log_level_info, logtest::level_at_start);
    EXPECT_EQ(static_cast<uint32_t>(log_to_ods), logtest::targets_at_start);
}

TEST_F(Logger, BeforeStartLinesAreWrittenDirectlyByTheCaller) {
    recorder rec;
    log_set_level(log_level_info);  // the value of a fresh process
    log_set_debug_observer(&recorder::observe, &rec);
    log_write_fmt(log_category_general, log_level_info, "f", "direct %d", 1);
    log_write_fmt(log_category_general, log_level_debug, "f", "debug stays out");
    // No writer runs: the line is there as soon as the call returns.
    ASSERT_EQ(1u, rec.lines.size());
    EXPECT_EQ(line("[INFO] ", "direct 1"), rec.lines[0]);
    EXPECT_EQ(GetCurrentThreadId(), rec.threads[0]);
}

TEST_F(Logger, AfterStopTheSettingsOfInitializeLogStay) {
    ASSERT_TRUE(initialize_log());
    finalize_log();
    recorder rec;
    log_set_debug_observer(&recorder::observe, &rec);
    log_write_fmt(log_category_general, log_level_warn, "f", "after stop");
    log_write_fmt(log_category_general, log_level_info, "f", "info is off now");
    finalize_log();  // no logger: returns at once and changes nothing
    log_write_fmt(log_category_general, log_level_error, "f", "still direct");
    ASSERT_EQ(2u, rec.lines.size());
    EXPECT_EQ(line("[WARN] ", "after stop"), rec.lines[0]);
    EXPECT_EQ(line("[EROR] ", "still direct"), rec.lines[1]);
    EXPECT_EQ(GetCurrentThreadId(), rec.threads[1]);
}

TEST_F(Logger, RunningLoggerWritesOnItsOwnThread) {
    recorder rec;
    ASSERT_TRUE(initialize_log());
    log_set_debug_observer(&recorder::observe, &rec);
    log_write_fmt(log_category_general, log_level_error, "f", "queued");
    const std::string expected = line("[EROR] ", "queued");  // built on this thread
    finalize_log();
    ASSERT_EQ(1u, rec.lines.size());
    EXPECT_EQ(expected, rec.lines[0]);
    EXPECT_NE(GetCurrentThreadId(), rec.threads[0]);
}

TEST_F(Logger, SecondInitializeKeepsOneWriterAndResetsSettings) {
    const size_t before = thread_count();
    ASSERT_NE(0u, before);
    ASSERT_TRUE(initialize_log());
    const size_t with_writer = thread_count();
    EXPECT_EQ(before + 1, with_writer);

    log_set_targets(0);
    log_set_mask(0);
    log_set_level(log_level_debug);
    ASSERT_TRUE(initialize_log());
    EXPECT_EQ(with_writer, thread_count());
    EXPECT_EQ(log_level_warn, log_get_level());
    EXPECT_EQ(static_cast<uint32_t>(log_to_ods), log_get_targets());

    recorder rec;
    log_set_debug_observer(&recorder::observe, &rec);
    log_write_fmt(log_category_general, log_level_warn, "f", "one writer");
    finalize_log();
    ASSERT_EQ(1u, rec.lines.size());  // written once, by the one writer
    EXPECT_EQ(before, thread_count());
}

TEST_F(Logger, LinesQueuedRightBeforeFinalizeAreAllWrittenInOrder) {
    const int n = 2000;
    const auto lines = capture(log_level_warn, [&] {
        for (int i = 0; i < n; ++i) {
            log_write_fmt(log_category_general, log_level_warn, "f", "line %d", i);
        }
    });
    ASSERT_EQ(static_cast<size_t>(n), lines.size());
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(line("[WARN] ", "line " + std::to_string(i)), lines[i]);
    }
}

TEST_F(Logger, LinesFromManyThreadsAreEachWrittenOnce) {
    const int threads = 4;
    const int per_thread = 250;
    const auto lines = capture(log_level_warn, [&] {
        std::vector<HANDLE> handles;
        for (int t = 0; t < threads; ++t) {
            handles.push_back(CreateThread(
                nullptr, 0,
                [](void* arg) -> DWORD {
                    const int t = static_cast<int>(reinterpret_cast<intptr_t>(arg));
                    for (int i = 0; i < 250; ++i) {
                        log_write_fmt(log_category_general, log_level_error, "f", "t%d-%d", t, i);
                    }
                    return 0;
                },
                reinterpret_cast<void*>(static_cast<intptr_t>(t)), 0, nullptr));
        }
        WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
        for (HANDLE h : handles) {
            CloseHandle(h);
        }
    });
    ASSERT_EQ(static_cast<size_t>(threads * per_thread), lines.size());
    std::vector<int> next(threads, 0);
    for (const auto& text : lines) {
        const size_t at = text.find(") : t");
        ASSERT_NE(std::string::npos, at) << text;
        int t = -1;
        int i = -1;
        ASSERT_EQ(2, sscanf(text.c_str() + at + 5, "%d-%d", &t, &i)) << text;
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_EQ(next[t], i) << "lines of one thread keep their order";
        next[t] = i + 1;
    }
}

TEST_F(Logger, LevelSetWhileRunningReachesTheQueue) {
    const auto lines = capture(log_level_warn, [] {
        log_write_fmt(log_category_general, log_level_debug, "f", "dropped");
        log_set_level(log_level_debug);
        EXPECT_EQ(log_level_debug, log_get_level());
        log_write_fmt(log_category_general, log_level_debug, "f", "queued");
    });
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(line("[DEBG] ", "queued"), lines[0]);
}

namespace {
// Holds the writer inside the debugger sink until released.
struct gate {
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::string> lines;
    ~gate() {
        CloseHandle(entered);
        CloseHandle(release);
    }
    static void observe(void* context, const char* text) {
        auto* self = static_cast<gate*>(context);
        self->lines.emplace_back(text);
        SetEvent(self->entered);
        WaitForSingleObject(self->release, 10000);
    }
};
}  // namespace

TEST_F(Logger, SinksAreTakenWhenTheCallIsMade) {
    gate g;
    ASSERT_TRUE(initialize_log());
    log_set_debug_observer(&gate::observe, &g);
    log_write_fmt(log_category_general, log_level_error, "f", "first");
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(g.entered, 10000));
    // The writer is busy with "first": the next two lines wait in the queue.
    log_write_fmt(log_category_general, log_level_error, "f", "stamped with the debugger");
    log_set_targets(0);
    log_write_fmt(log_category_general, log_level_error, "f", "stamped with no sink");
    log_set_targets(log_to_ods);
    SetEvent(g.release);
    finalize_log();
    ASSERT_EQ(2u, g.lines.size());
    EXPECT_EQ(line("[EROR] ", "stamped with the debugger"), g.lines[1]);
}

namespace {
void observer_that_logs(void* context, const char* text) {
    static_cast<std::vector<std::string>*>(context)->emplace_back(text);
    log_write_fmt(log_category_general, log_level_error, "observer", "from the writer thread");
}
}  // namespace

TEST_F(Logger, LogCallsFromTheWriterThreadAreDroppedAndCannotDeadlock) {
    std::vector<std::string> lines;
    ASSERT_TRUE(initialize_log());
    log_set_debug_observer(&observer_that_logs, &lines);
    for (int i = 0; i < 3; ++i) {
        log_write_fmt(log_category_general, log_level_error, "f", "line %d", i);
    }
    finalize_log();  // drains while holding the log lock
    log_set_debug_observer(nullptr, nullptr);
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(line("[EROR] ", "line 2"), lines[2]);
}
