// The logger: the exact bytes of a line, its 2,048-byte bound and the filter; who writes a line;
// the drain at finalize_log() in queue order; the console colour; a full queue; a stop while threads end.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>

#include "log/log.h"
#include "log/slogger.h"
#include "tests/log/log_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "base/file_util.h"
#include "base/handles.h"
#include "log/log_line.h"

namespace {
// Before any test: a fresh process's settings, and a console (the console sink takes stdout at its first line).
const uint32_t fresh_level = log_get_level(), fresh_targets = log_get_targets();
const bool have_console = (FreeConsole(), AllocConsole() != FALSE);

// The line format_log_line() makes of an error with these options.
std::string formatted(const log_line_options& options, const char* format, ...) {
    char made[kLogLineBytes];
    va_list args;
    va_start(args, format);
    format_log_line(made, options, log_level_error, "f", format, args);
    va_end(args);
    return made;
}

using seen_lines = std::vector<std::pair<std::string, DWORD>>;  // each line with the thread that wrote it
void record(void* seen, const char* text) { static_cast<seen_lines*>(seen)->emplace_back(text, GetCurrentThreadId()); }
}  // namespace

TEST_F(Log, LineLayoutBoundAndFilter) {
    LogCapture capture(log_level_warn);
    // No line above the level, for a level without a tag, without a format, or outside the category mask.
    say(log_level_info, "info above warn");
    log_set_level(100);
    say(4, "level 4 has no tag");
    log_write_fmt(log_category_general, log_level_error, "f", nullptr);
    log_set_mask(1);
    log_write_fmt(3, log_level_error, "f", "category 3 needs bit 2 as well");
    log_set_mask(0xFFFFFFFFu);
    log_set_level(log_level_debug);
    log_write_fmt(log_category_general, log_level_error, "f", "value %d of %s", 7, "x");
    log_write_fmt(log_category_general, log_level_warn, "f", "drive %ws", L"E:");
    say(log_level_info, "trailing blank ");
    say(log_level_debug, "");
    log_write_fmt(log_category_general, log_level_error, "f", "name %ws!", L"\u4e2d\u6587");  // has no ANSI form
    log_set_show_function_name(true);
    log_write_fmt(log_category_general, log_level_warn, "TalvernTray::start", "named");
    log_write_fmt(log_category_general, log_level_warn, nullptr, "no name");
    log_set_show_function_name(false);
    const std::string head = "[EROR] log_tests.exe" + ids();
    const size_t room = 2047 - head.size();
    for (size_t n : {room - 1, room, size_t{3000}}) say(log_level_error, std::string(n, 'm').c_str());
    log_set_show_time(true);
    say(log_level_warn, "timed");
    finalize_log();
    const auto lines = capture.lines();
    ASSERT_EQ(11u, lines.size());
    const std::string full = head + std::string(room, 'm');  // 2,047 bytes: no room for "\n"
    EXPECT_EQ((std::vector<std::string>{line("[EROR] ", "value 7 of x"), line("[WARN] ", "drive E:"),
                                        line("[INFO] ", "trailing blank "), line("[DEBG] ", ""),
                                        line("[EROR] ", "invalid function call parameters"),
                                        line("[WARN] ", "TalvernTray::start : named"), line("[WARN] ", " : no name"),
                                        head + std::string(room - 1, 'm') + "\n",
                                        full, full}),
              std::vector<std::string>(lines.begin(), lines.end() - 1));
    EXPECT_TRUE(std::regex_match(lines[10].substr(0, 20), std::regex(R"(\d{4}(-\d\d){2} \d\d(:\d\d){2} )")));
    EXPECT_EQ(line("[WARN] ", "timed"), lines[10].substr(20));
    const log_line_options no_module;  // the executable's file name was not found
    EXPECT_EQ("[EROR] " + ids() + "no module\n", formatted(no_module, "no %s", "module"));
}

TEST_F(Log, TheCallerWritesWithoutALoggerOneWriterThreadWhileItRuns) {
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO before, after;
    DWORD n = 0;
    ASSERT_TRUE(have_console && GetConsoleScreenBufferInfo(console, &before));
    FillConsoleOutputAttribute(console, 0, 3 * before.dwSize.X, COORD{0, 0}, &n);
    SetConsoleCursorPosition(console, COORD{0, 0});
    EXPECT_TRUE(fresh_level == log_level_info && fresh_targets == log_to_ods);
    seen_lines seen;
    log_set_debug_observer(&record, &seen);
    log_set_level(log_level_info);
    say(log_level_info, "before start");
    say(log_level_debug, "debug stays out");
    log_set_targets(log_to_con);
    say(log_level_error, "red");
    ASSERT_TRUE(initialize_log());
    say(log_level_error, "first");
    log_set_targets(log_to_con);
    say(log_level_warn, "green");
    const auto green = [&] { WORD c = 0; return ReadConsoleOutputAttribute(console, &c, 1, {0, 1}, &n) && c == 10; };
    EXPECT_TRUE(wait_until(green, 10000)) << "written by the writer's loop, before the drain at finalize_log()";
    log_set_level(log_level_debug);
    ASSERT_TRUE(initialize_log());  // keeps the running writer, puts the settings back
    EXPECT_TRUE(log_get_level() == log_level_warn && log_get_targets() == log_to_ods);
    log_set_targets(log_to_con | log_to_ods);
    say(log_level_error, "second");  // still queued when finalize_log() drains
    finalize_log();
    finalize_log();  // no logger: nothing to do
    say(log_level_warn, "after stop");
    say(log_level_info, "info stays off");
    const DWORD me = GetCurrentThreadId(), writer = seen.size() > 1 ? seen[1].second : me;
    EXPECT_NE(me, writer);
    EXPECT_EQ((seen_lines{{line("[INFO] ", "before start"), me}, {line("[EROR] ", "first"), writer},
                          {line("[EROR] ", "second"), writer}, {line("[WARN] ", "after stop"), me}}),
              seen);
    const char* rows[] = {"red", "green", "second"};  // by the caller, the writer's loop, the drain
    for (SHORT row = 0; row < 3; ++row) {
        std::vector<WORD> colours(line("[EROR] ", rows[row]).size() - 1);  // "\n" only moves the cursor
        ReadConsoleOutputAttribute(console, colours.data(), static_cast<DWORD>(colours.size()), COORD{0, row}, &n);
        EXPECT_EQ(std::vector<WORD>(colours.size(), row == 1 ? 10 : 12), colours) << rows[row];
    }
    EXPECT_TRUE(GetConsoleScreenBufferInfo(console, &after) && after.wAttributes == before.wAttributes) << "restored";
}

TEST_F(Log, FinalizeDrainsEveryQueuedLineInOrderAndLogCallsFromInsideAreDropped) {
    struct gate {  // holds the writer at its first line, so that the others wait in the queue
        event_handle open{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        std::vector<std::string> lines;
    } g;
    ASSERT_TRUE(initialize_log());
    log_set_debug_observer([](void* context, const char* text) {
        auto& g = *static_cast<gate*>(context);
        g.lines.emplace_back(text);
        say(log_level_error, "from inside the logger");  // dropped: the writer must not queue behind itself
        WaitForSingleObject(g.open.get(), 10000);
    }, &g);
    // Four threads take turns, line by line, so that the order of all lines is known; all of them have
    // ended before the writer goes on.
    constexpr int kThreads = 4, kLines = 500;
    std::vector<event_handle> turn;
    for (int t = 0; t < kThreads; ++t) turn.emplace_back(CreateEventW(nullptr, FALSE, t == 0, nullptr));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &turn] {
            for (int i = 0; i < kLines; ++i) {
                if (WaitForSingleObject(turn[t].get(), 10000) != WAIT_OBJECT_0) return;
                log_write_fmt(log_category_general, log_level_error, "f", "t%d %d", t, i);
                SetEvent(turn[(t + 1) % kThreads].get());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    SetEvent(g.open.get());
    finalize_log();
    ASSERT_EQ(size_t{kThreads * kLines}, g.lines.size());
    for (int n = 0; n < kThreads * kLines; ++n) {
        const std::string expected = "t" + std::to_string(n % kThreads) + " " + std::to_string(n / kThreads);
        ASSERT_EQ("[EROR] " + expected, LogCapture::message_of(g.lines[n])) << "line " << n;
    }
}

TEST_F(Log, TheStopDrainsWhatIsQueuedFileFirst) {
    // The writer is held at its first line until the stop has closed the queue (a push then comes back
    // to its caller): every line behind it is written by the final drain, the file before the debugger.
    temp_dir dir;
    struct gate {
        event_handle open{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        std::vector<std::string> lines;
        std::wstring file;
    } g;
    g.file = dir.file(L"agent.log");
    log_set_debug_observer([](void* context, const char* text) {
        auto& g = *static_cast<gate*>(context);
        g.lines.emplace_back(text + std::string(" / file: ") + read_file(g.file));
        WaitForSingleObject(g.open.get(), 10000);
    }, &g);
    slogger logger;
    ASSERT_TRUE(logger.rotate_log_file(g.file.c_str()));
    ASSERT_TRUE(logger.slog_start());
    logger.push_line(log_level_error, log_to_ods, "first\n", 6);
    ASSERT_TRUE(wait_until([&] { return !g.lines.empty(); }, 10000));
    for (const char* text : {"a\n", "b\n", "c\n"}) logger.push_line(log_level_error, log_to_ods | log_to_file, text, 2);
    std::thread stopper([&logger] { logger.slog_stop(); });
    EXPECT_TRUE(wait_until([&] { return logger.push_line(log_level_error, 0, "-\n", 2) == slogger::stopped; }, 10000));
    SetEvent(g.open.get());
    stopper.join();
    EXPECT_EQ((std::vector<std::string>{"first\n / file: ", "a\n / file: a\n", "b\n / file: a\nb\n",
                                        "c\n / file: a\nb\nc\n"}),
              g.lines);
    log_set_debug_observer(nullptr, nullptr);
}

TEST_F(Log, AnIdleWriterWakesForEachLine) {
    // The writer sleeps while nothing is queued; each line queued then must reach its sink while the
    // logger still runs, not only at the drain of the stop.
    struct seen_text {
        std::mutex lock;
        std::vector<std::string> lines;
    } seen;
    log_set_debug_observer([](void* context, const char* text) {
        auto& s = *static_cast<seen_text*>(context);
        std::lock_guard<std::mutex> guard(s.lock);
        s.lines.emplace_back(text);
    }, &seen);
    slogger logger;
    ASSERT_TRUE(logger.slog_start());
    for (int i = 0; i < 3; ++i) {
        const std::string text = "line " + std::to_string(i) + "\n";
        ASSERT_EQ(slogger::queued, logger.push_line(log_level_error, log_to_ods, text.c_str(), text.size()));
        ASSERT_TRUE(wait_until([&] {
            std::lock_guard<std::mutex> guard(seen.lock);
            return seen.lines.size() == size_t(i + 1) && seen.lines.back() == text;
        }, 10000)) << "line " << i << " still queued";
    }
    logger.slog_stop();
    EXPECT_EQ(slogger::stopped, logger.push_line(log_level_error, log_to_ods, "late\n", 5)) << "left to the caller";
}

namespace {
// thread_exit_hook.dll: calls a hook on every thread's exit path (DLL_THREAD_DETACH).
using exit_hook = void (*)(void* context);
struct exit_hook_dll {
    module_handle dll{LoadLibraryW(L"thread_exit_hook.dll")};
    void (*set)(exit_hook, void*) = dll ? reinterpret_cast<void (*)(exit_hook, void*)>(
                                               reinterpret_cast<void*>(GetProcAddress(dll.get(), "set_thread_exit_hook")))
                                         : nullptr;
    ~exit_hook_dll() {
        if (set != nullptr) set(nullptr, nullptr);
    }
};

struct seen_text {
    std::mutex lock;
    std::vector<std::string> lines;
    size_t size() {
        std::lock_guard<std::mutex> guard(lock);
        return lines.size();
    }
    size_t count(const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        return std::count(lines.begin(), lines.end(), text);
    }
};
void see(void* seen, const char* text) {
    auto& s = *static_cast<seen_text*>(seen);
    std::lock_guard<std::mutex> guard(s.lock);
    s.lines.emplace_back(text);
}
}  // namespace

TEST_F(Log, StopReturnsWhileThreadsLogOnTheirWayOut) {
    // A DLL that logs from DLL_THREAD_DETACH, as a plug-in reporting from its DllMain does: the writer's own
    // exit runs it while the stop waits for the writer, and so may any other thread's that ends meanwhile.
    exit_hook_dll hook;
    ASSERT_NE(nullptr, hook.set);
    seen_text seen;
    ASSERT_TRUE(initialize_log());
    log_set_debug_observer(&see, &seen);
    hook.set([](void*) { say(log_level_error, "on the way out"); }, nullptr);
    std::thread([] {}).join();  // logs while the logger runs
    auto stopped = std::make_shared<event_handle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread([stopped] {
        finalize_log();
        SetEvent(stopped->get());
    }).detach();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stopped->get(), 30000)) << "finalize_log() hangs";
    hook.set(nullptr, nullptr);
    // Queued from the first thread, then written straight to the sinks from the writer's own exit.
    std::lock_guard<std::mutex> guard(seen.lock);
    ASSERT_GE(seen.lines.size(), 2u);
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ("[EROR] on the way out", LogCapture::message_of(seen.lines[i])) << i;
}

TEST_F(Log, AFullQueueDropsLinesCountsThemAndSaysSoOnceThereIsRoomOrAtTheStop) {
    // The sink blocks until released, while twice the queue's bound is logged: no call waits, the lines
    // that fit are written in order, and one warning says how many were dropped: before the first line
    // that finds room again, or, when none comes, in the drain at the stop.
    for (const bool line_after_room : {true, false}) {
        SCOPED_TRACE(line_after_room ? "a line after the room came back" : "stopped while full");
        struct gate {
            event_handle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
            event_handle open{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
            seen_text seen;
        } g;
        ASSERT_TRUE(initialize_log());
        log_set_debug_observer([](void* context, const char* text) {
            auto& g = *static_cast<gate*>(context);
            see(&g.seen, text);
            SetEvent(g.entered.get());
            WaitForSingleObject(g.open.get(), 30000);
        }, &g);
        say(log_level_error, "holds the writer");
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g.entered.get(), 10000));
        const std::string text(1000, 'x');
        const int total = static_cast<int>(2 * slogger::kQueueBytes / text.size());
        for (int i = 0; i < total; ++i) log_write_fmt(log_category_general, log_level_error, "f", "%d %s", i, text.c_str());
        SetEvent(g.open.get());
        if (line_after_room) {
            // Room again once the writer has taken the queued lines out.
            ASSERT_TRUE(wait_until([&] { return g.seen.size() > 100; }, 10000));
            say(log_level_error, "after the room came back");
        }
        finalize_log();
        log_set_debug_observer(nullptr, nullptr);
        const auto& lines = g.seen.lines;
        const size_t tail = line_after_room ? 2 : 1;
        ASSERT_GE(lines.size(), 100 + tail);
        EXPECT_EQ("[EROR] holds the writer", LogCapture::message_of(lines.front()));
        const size_t written = lines.size() - 1 - tail;
        for (size_t i = 0; i < written; ++i) {
            ASSERT_EQ("[EROR] " + std::to_string(i) + " " + text, LogCapture::message_of(lines[i + 1])) << i;
        }
        EXPECT_EQ("[WARN] " + std::to_string(total - written) + " log lines were dropped: the log queue was full.",
                  LogCapture::message_of(lines[written + 1]));
        if (line_after_room) {
            EXPECT_EQ("[EROR] after the room came back", LogCapture::message_of(lines.back()));
        }
        // The bound's worth: all it holds, and no more.
        EXPECT_LT(written * text.size(), slogger::kQueueBytes);
        EXPECT_GT(written * (text.size() + 100), slogger::kQueueBytes * 9 / 10) << written;
    }
}
