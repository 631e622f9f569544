// Helpers shared by the logger tests: the exact fields of a line, and the
// state the test program saw before any test ran.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace logtest {

// Settings read in main() before the first test touched the logger.
extern uint32_t level_at_start;
extern uint32_t targets_at_start;
// Console made for the console tests, and its attributes when it was made.
extern bool have_console;
extern WORD console_attributes_at_start;

// "( pid:  tid) : " of the calling thread.
std::string pid_tid_field();
// A whole line as the logger builds it on the calling thread.
std::string line(const char* tag, const std::string& message);

// Runs body with the logger started at level (debugger sink only), finalises
// the log and returns every line the debugger sink received.
std::vector<std::string> capture(uint32_t level, const std::function<void()>& body);

// Puts the process-wide settings back to what initialize_log() sets, with no
// logger running.
void reset_logger();

}  // namespace logtest
