// The Event Log sink: error and warning lines reported to the Application log
// under the source "Talvern", each as the insertion string of its event (ids
// from the message table linked into the program). At most kEventsPerMinute
// go out a minute; the rest are counted, and one summary, "<n> events
// suppressed", goes out when the minute ends or the log stops.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

#include "base/handles.h"

class event_log_sink {
public:
    static constexpr unsigned kEventsPerMinute = 20;
    static constexpr ULONGLONG kMinuteMs = 60 * 1000;
    using reporter = std::function<void(WORD type, DWORD event_id, const char* text)>;

    // Reports to the Event Log (registering the source at the first event),
    // or to report when given.
    explicit event_log_sink(reporter report = nullptr) : _report(report) {}

    // Reports one line, its final "\n" left out, unless this minute's events
    // are used up; lines above warning level are not reported. dropped_note:
    // the logger's warning that lines were dropped.
    void write(uint32_t level, const char* line, bool dropped_note, ULONGLONG now_ms);
    // Reports the summary once the minute with suppressed events has ended,
    // or at once with at_stop.
    void flush(ULONGLONG now_ms, bool at_stop);
    // How long until that summary is due: INFINITE while none is pending.
    DWORD ms_until_summary(ULONGLONG now_ms) const;

private:
    void report(WORD type, DWORD event_id, const char* text);

    reporter _report;
    event_source_handle _source;
    ULONGLONG _minute_start = 0;
    unsigned _reported = 0;    // events of the current minute
    uint64_t _suppressed = 0;  // events of the current minute not reported
};
