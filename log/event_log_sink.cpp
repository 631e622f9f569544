// The Event Log sink and its rate limit.
#include "log/event_log_sink.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "log/log.h"
#include "res/talvern_events.h"

void event_log_sink::report(WORD type, DWORD event_id, const char* text) {
    if (_report) {
        _report(type, event_id, text);
        return;
    }
    if (!_source) {
        _source.reset(RegisterEventSourceW(nullptr, L"Talvern"));
    }
    if (_source) {
        ReportEventA(_source.get(), type, 0, event_id, nullptr, 1, 0, &text, nullptr);
    }
}

void event_log_sink::write(uint32_t level, const char* line, bool dropped_note, ULONGLONG now_ms) {
    if (level > log_level_warn) {
        return;
    }
    flush(now_ms, false);
    if (_reported == 0 && _suppressed == 0) {
        _minute_start = now_ms;  // the first event opens a minute
    }
    if (_reported >= kEventsPerMinute) {
        ++_suppressed;
        return;
    }
    ++_reported;
    const size_t length = strlen(line);
    const std::string text(line, length != 0 && line[length - 1] == '\n' ? length - 1 : length);
    const DWORD id = dropped_note ? TALVERN_EVENT_LINES_DROPPED
                     : level == log_level_error ? TALVERN_EVENT_ERROR_LINE
                                                : TALVERN_EVENT_WARNING_LINE;
    report(level == log_level_error ? EVENTLOG_ERROR_TYPE : EVENTLOG_WARNING_TYPE, id, text.c_str());
}

void event_log_sink::flush(ULONGLONG now_ms, bool at_stop) {
    if (!at_stop && now_ms - _minute_start < kMinuteMs) {
        return;
    }
    if (_suppressed != 0) {
        char text[64];
        snprintf(text, sizeof(text), "%llu events suppressed", static_cast<unsigned long long>(_suppressed));
        report(EVENTLOG_WARNING_TYPE, TALVERN_EVENT_EVENTS_SUPPRESSED, text);
    }
    _reported = 0;
    _suppressed = 0;
}

DWORD event_log_sink::ms_until_summary(ULONGLONG now_ms) const {
    if (_suppressed == 0) {
        return INFINITE;
    }
    const ULONGLONG elapsed = now_ms - _minute_start;
    return elapsed >= kMinuteMs ? 0 : static_cast<DWORD>(kMinuteMs - elapsed);
}
