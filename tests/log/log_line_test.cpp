// Exact bytes of log lines as the debugger sink receives them.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "log/log.h"
#include "log/log_settings.h"
#include "tests/support/log_capture.h"

namespace {
std::string pid_tid_field() {
    char text[64];
    snprintf(text, sizeof(text), "(%5lu:%5lu) : ", GetCurrentProcessId(), GetCurrentThreadId());
    return text;
}
}  // namespace

TEST(LogLine, ErrorLineHasTagModulePidTidMessageAndNewline) {
    std::vector<std::string> lines;
    {
        LogCapture capture(log_level_warn);
        log_write_fmt(log_category_general, log_level_error, "Test::run", "value %d of %s", 7, "x");
        finalize_log();
        lines = capture.lines();
    }
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("[EROR] log_tests.exe" + pid_tid_field() + "value 7 of x\n", lines[0]);
}
