// Colours of the console sink, read back from the console the test program
// allocated in main(): error 12, warning and info 10, debug left as it was, and
// the saved attributes restored after every coloured line.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "log/log_settings.h"
#include "tests/log/log_test_support.h"

using logtest::line;

namespace {
class ConsoleSink : public testing::Test {
protected:
    void SetUp() override {
        if (!logtest::have_console) {
            GTEST_SKIP() << "no console could be allocated";
        }
        logtest::reset_logger();
        _console = GetStdHandle(STD_OUTPUT_HANDLE);
        SetConsoleTextAttribute(_console, logtest::console_attributes_at_start);
        clear();
    }
    void TearDown() override {
        if (logtest::have_console) {
            SetConsoleTextAttribute(_console, logtest::console_attributes_at_start);
        }
        logtest::reset_logger();
    }

    void clear() {
        CONSOLE_SCREEN_BUFFER_INFO info;
        GetConsoleScreenBufferInfo(_console, &info);
        const DWORD cells = static_cast<DWORD>(info.dwSize.X) * info.dwSize.Y;
        DWORD done = 0;
        FillConsoleOutputCharacterA(_console, ' ', cells, COORD{0, 0}, &done);
        FillConsoleOutputAttribute(_console, 0, cells, COORD{0, 0}, &done);
        SetConsoleCursorPosition(_console, COORD{0, 0});
    }

    COORD cursor() {
        CONSOLE_SCREEN_BUFFER_INFO info;
        GetConsoleScreenBufferInfo(_console, &info);
        return info.dwCursorPosition;
    }

    WORD attributes() {
        CONSOLE_SCREEN_BUFFER_INFO info;
        GetConsoleScreenBufferInfo(_console, &info);
        return info.wAttributes;
    }

    // Text and attributes of count cells from at.
    std::string text_at(COORD at, size_t count) {
        std::string text(count, '\0');
        DWORD read = 0;
        ReadConsoleOutputCharacterA(_console, &text[0], static_cast<DWORD>(count), at, &read);
        text.resize(read);
        return text;
    }
    std::vector<WORD> attributes_at(COORD at, size_t count) {
        std::vector<WORD> attrs(count, 0xFFFF);
        DWORD read = 0;
        ReadConsoleOutputAttribute(_console, attrs.data(), static_cast<DWORD>(count), at, &read);
        attrs.resize(read);
        return attrs;
    }

    // Logs one line directly (no logger runs) and checks its cells.
    void expect_line(uint32_t level, const char* tag, const char* message, WORD attribute) {
        const COORD at = cursor();
        log_write_fmt(log_category_general, level, "f", "%s", message);
        const std::string expected = line(tag, message);
        const size_t cells = expected.size() - 1;  // "\n" moves the cursor only
        EXPECT_EQ(expected.substr(0, cells), text_at(at, cells));
        EXPECT_EQ(std::vector<WORD>(cells, attribute), attributes_at(at, cells)) << tag;
    }

    HANDLE _console = nullptr;
};
}  // namespace

TEST_F(ConsoleSink, LevelsHaveTheirColoursAndTheSavedAttributesReturn) {
    const WORD saved = logtest::console_attributes_at_start;
    log_set_level(log_level_debug);
    log_set_targets(log_to_con);

    expect_line(log_level_error, "[EROR] ", "red", 12);
    EXPECT_EQ(saved, attributes());
    expect_line(log_level_warn, "[WARN] ", "green warning", 10);
    EXPECT_EQ(saved, attributes());
    expect_line(log_level_info, "[INFO] ", "green info", 10);
    EXPECT_EQ(saved, attributes());

    // Debug lines take whatever the console has; the next coloured line puts
    // back the attributes saved when the console was first used.
    const WORD other = BACKGROUND_BLUE | FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_INTENSITY;
    SetConsoleTextAttribute(_console, other);
    expect_line(log_level_debug, "[DEBG] ", "as it was", other);
    EXPECT_EQ(other, attributes());
    expect_line(log_level_error, "[EROR] ", "red again", 12);
    EXPECT_EQ(saved, attributes());
}

TEST_F(ConsoleSink, WriterThreadColoursQueuedLines) {
    const COORD at = cursor();
    ASSERT_TRUE(initialize_log());
    log_set_targets(log_to_con);
    log_write_fmt(log_category_general, log_level_error, "f", "queued red");
    const std::string expected = line("[EROR] ", "queued red");
    finalize_log();
    const size_t cells = expected.size() - 1;
    EXPECT_EQ(expected.substr(0, cells), text_at(at, cells));
    EXPECT_EQ(std::vector<WORD>(cells, 12), attributes_at(at, cells));
    EXPECT_EQ(logtest::console_attributes_at_start, attributes());
}

TEST_F(ConsoleSink, LineForConsoleOnlyDoesNotReachTheDebugger) {
    std::vector<std::string> seen;
    log_set_debug_observer([](void* c, const char* t) { static_cast<std::vector<std::string>*>(c)->emplace_back(t); },
                           &seen);
    log_set_targets(log_to_con);
    log_write_fmt(log_category_general, log_level_error, "f", "console only");
    log_set_targets(log_to_con | log_to_ods);
    log_write_fmt(log_category_general, log_level_error, "f", "both");
    log_set_debug_observer(nullptr, nullptr);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(line("[EROR] ", "both"), seen[0]);
}
