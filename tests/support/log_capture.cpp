#include "tests/support/log_capture.h"

#include "log/log.h"
#include "log/log_settings.h"

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

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _lines;
}

std::string LogCapture::message_of(const std::string& line) {
    const size_t field = line.find(") : ");
    if (line.size() < 7 || field == std::string::npos) {
        return line;
    }
    std::string text = line.substr(field + 4);
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return line.substr(0, 7) + text;
}

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> out;
    for (const auto& line : lines()) {
        out.push_back(message_of(line));
    }
    return out;
}

size_t LogCapture::count(const std::string& message) const {
    size_t n = 0;
    for (const auto& m : messages()) {
        n += (m == message) ? 1 : 0;
    }
    return n;
}

bool LogCapture::wait_for(const std::string& message, DWORD timeout_ms, size_t times) const {
    const ULONGLONG end = GetTickCount64() + timeout_ms;
    for (;;) {
        if (count(message) >= times) {
            return true;
        }
        if (GetTickCount64() >= end) {
            return false;
        }
        Sleep(10);
    }
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> guard(_lock);
    _lines.clear();
}
