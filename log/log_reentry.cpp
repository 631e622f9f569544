// Per-thread "inside the logger" mark.
#include "log/log_reentry.h"

namespace {
thread_local bool _inside_logger = false;
}  // namespace

bool log_thread_in_logger() { return _inside_logger; }

log_reentry_guard::log_reentry_guard() : _inside(&_inside_logger), _was_inside(*_inside) { *_inside = true; }

log_reentry_guard::~log_reentry_guard() { *_inside = _was_inside; }
