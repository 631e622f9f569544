// The Event Log sink: which lines become which events, and the rate limit of 20 a minute with its
// one summary when the minute ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/event_log_sink.h"
#include "log/log.h"
#include "res/talvern_events.h"

namespace {
struct event {
    WORD type;
    DWORD id;
    std::string text;
    bool operator==(const event& o) const { return type == o.type && id == o.id && text == o.text; }
};
std::ostream& operator<<(std::ostream& out, const event& e) { return out << e.type << "/" << e.id << " " << e.text; }

struct EventLogSink : testing::Test {
    std::vector<event> seen;
    event_log_sink sink{[this](WORD type, DWORD id, const char* text) { seen.push_back({type, id, text}); }};
};
}  // namespace

TEST_F(EventLogSink, ErrorsAndWarningsBecomeEventsOfTheirKind) {
    sink.write(log_level_error, "[EROR] a\n", false, 0);
    sink.write(log_level_warn, "[WARN] b\n", false, 0);
    sink.write(log_level_warn, "[WARN] 3 log lines were dropped: the log queue was full.\n", true, 0);
    sink.write(log_level_info, "[INFO] c\n", false, 0);
    sink.write(log_level_debug, "[DEBG] d\n", false, 0);
    sink.write(log_level_error, "[EROR] no newline", false, 0);
    EXPECT_EQ((std::vector<event>{{EVENTLOG_ERROR_TYPE, TALVERN_EVENT_ERROR_LINE, "[EROR] a"},
                                  {EVENTLOG_WARNING_TYPE, TALVERN_EVENT_WARNING_LINE, "[WARN] b"},
                                  {EVENTLOG_WARNING_TYPE, TALVERN_EVENT_LINES_DROPPED,
                                   "[WARN] 3 log lines were dropped: the log queue was full."},
                                  {EVENTLOG_ERROR_TYPE, TALVERN_EVENT_ERROR_LINE, "[EROR] no newline"}}),
              seen);
}

TEST_F(EventLogSink, TwentyAMinuteThenOneSummaryWhenTheMinuteEnds) {
    const ULONGLONG start = 5000;
    EXPECT_EQ(INFINITE, sink.ms_until_summary(start));
    for (int i = 0; i < 25; ++i) sink.write(log_level_error, ("[EROR] " + std::to_string(i) + "\n").c_str(), false, start + i);
    ASSERT_EQ(20u, seen.size());
    EXPECT_EQ("[EROR] 19", seen.back().text);
    EXPECT_EQ(1u, sink.ms_until_summary(start + 59999));
    sink.flush(start + 59999, false);
    EXPECT_EQ(20u, seen.size()) << "the minute has not ended";
    EXPECT_EQ(0u, sink.ms_until_summary(start + 60000));
    sink.flush(start + 60000, false);
    ASSERT_EQ(21u, seen.size());
    EXPECT_EQ((event{EVENTLOG_WARNING_TYPE, TALVERN_EVENT_EVENTS_SUPPRESSED, "5 events suppressed"}), seen.back());
    EXPECT_EQ(INFINITE, sink.ms_until_summary(start + 60000));
    // A new minute: twenty more, and a summary at the stop for what is left over.
    for (int i = 0; i < 22; ++i) sink.write(log_level_warn, "[WARN] again\n", false, start + 60001);
    EXPECT_EQ(41u, seen.size());
    sink.flush(start + 60002, true);
    ASSERT_EQ(42u, seen.size());
    EXPECT_EQ("2 events suppressed", seen.back().text);
    sink.flush(start + 60003, true);
    EXPECT_EQ(42u, seen.size()) << "one summary only";
}
