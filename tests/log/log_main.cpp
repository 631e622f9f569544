// Entry of the logger tests. Before any test runs it notes the log settings of
// a fresh process and gives the process a console of its own, which the
// console sink picks up on first use.
#include <gtest/gtest.h>

#include "log/log.h"
#include "log/log_settings.h"
#include "tests/log/log_test_support.h"
#include "tests/support/log_capture.h"
#include "util/module_path_seam.h"

namespace logtest {

uint32_t level_at_start = 0;
uint32_t targets_at_start = 0;
bool have_console = false;
WORD console_attributes_at_start = 0;

std::string pid_tid_field() {
    char text[64];
    snprintf(text, sizeof(text), "(%5lu:%5lu) : ", GetCurrentProcessId(), GetCurrentThreadId());
    return text;
}

std::string line(const char* tag, const std::string& message) {
    return std::string(tag) + "log_tests.exe" + pid_tid_field() + message + "\n";
}

std::vector<std::string> capture(uint32_t level, const std::function<void()>& body) {
    LogCapture capture(level);
    body();
    finalize_log();
    return capture.lines();
}

void reset_logger() {
    finalize_log();
    log_set_debug_observer(nullptr, nullptr);
    log_set_mask(0xFFFFFFFFu);
    log_set_level(log_level_warn);
    log_set_targets(log_to_ods);
    log_set_show_time(false);
    log_set_show_function_name(false);
    set_module_path_failure_for_test(false);
}

}  // namespace logtest

int main(int argc, char** argv) {
    logtest::level_at_start = log_get_level();
    logtest::targets_at_start = log_get_targets();

    FreeConsole();
    if (AllocConsole()) {
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
            logtest::have_console = true;
            logtest::console_attributes_at_start = info.wAttributes;
        }
    }

    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
