// Debugger output of log lines and its observer.
#include "log/debug_sink.h"

#include <windows.h>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

namespace {
// The observer is called under this lock, so once log_set_debug_observer()
// has returned the previous observer is no longer running.
struct observer_slot {
    boost::mutex lock;
    log_line_observer observer = nullptr;
    void* context = nullptr;
};

observer_slot& slot() {
    static observer_slot s;
    return s;
}
}  // namespace

void log_set_debug_observer(log_line_observer observer, void* context) {
    observer_slot& s = slot();
    boost::lock_guard<boost::mutex> guard(s.lock);
    s.observer = observer;
    s.context = context;
}

void debug_write(const char* text) {
    if (text == nullptr) {
        return;
    }
    OutputDebugStringA(text);
    observer_slot& s = slot();
    boost::lock_guard<boost::mutex> guard(s.lock);
    if (s.observer != nullptr) {
        s.observer(s.context, text);
    }
}
