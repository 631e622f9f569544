// Capture of the debugger sink's lines; flush markers are kept out of sight.
#include "tests/support/log_capture.h"

#include "log/log.h"
#include "tests/support/test_env.h"

#include <algorithm>
#include <atomic>

namespace {
// The text of a flush marker (with or without the function name before it).
const char kMarker[] = "log capture flush ";
bool is_marker(const std::string& line) { return line.find(kMarker) != std::string::npos; }
}  // namespace

LogCapture::LogCapture(uint32_t level) {
    initialize_log();
    log_set_level(level);
    log_set_debug_observer(&LogCapture::observe, this);
}

LogCapture::~LogCapture() {
    finalize_log();
    log_set_debug_observer(nullptr, nullptr);
}

void LogCapture::observe(void* context, const char* line) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard<std::mutex> guard(self->_lock);
    self->_lines.emplace_back(line);
}

void LogCapture::flush() const {
    static std::atomic<int> serial{0};
    const std::string number = std::to_string(++serial), marker = kMarker + number + "\n";
    log_write_fmt(log_category_general, log_level_error, "LogCapture::flush", "log capture flush %s", number.c_str());
    EXPECT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> guard(_lock);
        return std::any_of(_lines.begin(), _lines.end(), [&](const std::string& l) {
            return l.size() >= marker.size() && l.compare(l.size() - marker.size(), marker.size(), marker) == 0;
        });
    }, 10000)) << "the log did not drain within 10 s";
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> guard(_lock);
    std::vector<std::string> out;
    for (const auto& line : _lines) {
        if (!is_marker(line)) out.push_back(line);
    }
    return out;
}

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> out = lines();
    std::transform(out.begin(), out.end(), out.begin(), &LogCapture::message_of);
    return out;
}

std::string LogCapture::message_of(const std::string& line) {
    const size_t field = line.find(") : ");
    if (line.size() < 7 || field == std::string::npos) return line;
    std::string text = line.substr(field + 4);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return line.substr(0, 7) + text;
}

size_t LogCapture::count(const std::string& message) const {
    const std::vector<std::string> all = messages();
    return static_cast<size_t>(std::count(all.begin(), all.end(), message));
}

bool LogCapture::wait_for(const std::string& message, DWORD timeout_ms, size_t times) const {
    return wait_until([&] { return count(message) >= times; }, timeout_ms);
}

::testing::AssertionResult LogCapture::in_order(const std::vector<std::string>& expected) const {
    const std::vector<std::string> all = messages();
    auto at = all.begin();
    for (const std::string& want : expected) {
        at = std::find(at, all.end(), want);
        if (at == all.end()) {
            std::string seen;
            for (const auto& m : all) seen += "\n  " + m;
            return ::testing::AssertionFailure() << "\"" << want << "\" missing or out of order; logged:" << seen;
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> guard(_lock);
    _lines.clear();
}
