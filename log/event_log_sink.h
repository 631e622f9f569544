// The Event Log sink: error and warning lines reported to the Application
// log under the source "Talvern", each as the insertion string of its event
// (ids in the message table linked into the program). Written by the log's
// writer thread only.
//
// At most kEventsPerMinute events a minute are reported; the rest of that
// minute are counted, and one summary, "<n> events suppressed", is reported
// when the minute ends (or when the log stops).
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

// Where events go: ReportEvent on the registered source, or a test's stand-in.
class event_reporter {
public:
    virtual ~event_reporter() = default;
    virtual void report(WORD type, DWORD event_id, const char* text) = 0;
};

// Reports through RegisterEventSourceW(source), registered at the first event.
std::unique_ptr<event_reporter> make_event_log_reporter(const wchar_t* source);

class event_log_sink {
public:
    static constexpr unsigned kEventsPerMinute = 20;
    static constexpr ULONGLONG kMinuteMs = 60 * 1000;

    explicit event_log_sink(std::unique_ptr<event_reporter> reporter);

    // Reports one line (its final "\n" left out) unless this minute's events
    // are used up; lines above warning level are not reported. dropped_note:
    // the logger's own warning that lines were dropped.
    void write(uint32_t level, const char* line, bool dropped_note, ULONGLONG now_ms);
    // Reports the summary once the minute with suppressed events has ended,
    // or at once with at_stop.
    void flush(ULONGLONG now_ms, bool at_stop);
    // How long until that summary is due: INFINITE while none is pending.
    DWORD ms_until_summary(ULONGLONG now_ms) const;

private:
    std::unique_ptr<event_reporter> _reporter;
    ULONGLONG _minute_start = 0;
    unsigned _reported = 0;      // events of the current minute
    uint64_t _suppressed = 0;    // events of the current minute not reported
};
