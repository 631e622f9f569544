// The queue of device events and the worker thread that hands them, one at a
// time, to the talvern service through the section and the event pair.
#include "app/talvern_tray.h"

#include "log/log.h"
#include "base/thread_name.h"

namespace {

constexpr DWORD kResponseWaitMs = 5000;
const char kWorkerFunction[] = "TalvernTray::tray_worker";

void log_worker_returned() {
    log_write_fmt(log_category_general, log_level_debug, kWorkerFunction, "Talvern tray worker thread returned.");
}

}  // namespace

bool TalvernTray::on_pnp_event(void* context, pnp_info* info) {
    // The record is ours from here on, whatever happens.
    std::unique_ptr<pnp_info> record(info);
    TalvernTray* tray = static_cast<TalvernTray*>(context);
    if (tray == nullptr || !record) {
        return false;
    }
    boost::unique_lock<boost::mutex> lock(tray->_queue_lock);
    tray->_queue.push_back(std::move(record));
    tray->_queue_cond.notify_one();
    return true;
}

void TalvernTray::tray_worker() {
    name_this_thread(L"TalvernWorker");
    if (_stop) {
        log_worker_returned();
        return;
    }
    for (;;) {
        std::unique_ptr<pnp_info> record;
        {
            boost::unique_lock<boost::mutex> lock(_queue_lock);
            if (_stop) {
                lock.unlock();
                log_worker_returned();
                return;
            }
            if (_queue.empty()) {
                _queue_cond.wait(lock);
                if (_stop) {
                    lock.unlock();
                    log_worker_returned();
                    return;
                }
            }
            if (!_queue.empty()) {
                record = std::move(_queue.front());
                _queue.pop_front();
            }
        }
        if (record) {
            deliver(*record);
            record.reset();
        }
        if (_stop) {
            log_worker_returned();
            return;
        }
    }
}

void TalvernTray::deliver(const pnp_info& info) {
    if (!info.write_to_section(_channel.section_view())) {
        log_write_fmt(log_category_general, log_level_error, kWorkerFunction, "pnp->write_to_section() failed.");
        return;
    }
    // A late answer to an earlier record may still be pending; the service
    // answers only after a request, so nothing it says now is lost. After a
    // wait that took its answer there is none, and the reset (one more call
    // into the kernel per record) is left out.
    if (_answer_may_be_late) {
        ResetEvent(_channel.response_event());
    }
    if (!_options.signal_request(_channel.request_event())) {
        log_write_fmt(log_category_general, log_level_error, kWorkerFunction, "SetEvent() failed. gle=%u",
                      GetLastError());
        // A pause, so that a signal that keeps failing does not spin; stop()
        // sets _stop and then notifies under the lock, which ends it.
        boost::unique_lock<boost::mutex> lock(_queue_lock);
        const boost::posix_time::milliseconds pause(_options.signal_failure_pause_ms);
        if (_queue_cond.timed_wait(lock, pause, [this] { return _stop.load(); })) {
            return;
        }
    }
    const DWORD ret = WaitForSingleObject(_channel.response_event(), kResponseWaitMs);
    _answer_may_be_late = ret != WAIT_OBJECT_0;
    if (ret == WAIT_OBJECT_0) {
        log_write_fmt(log_category_general, log_level_info, kWorkerFunction, "response signal received.");
    } else {
        log_write_fmt(log_category_general, log_level_warn, kWorkerFunction, "no response signal. wait ret=%u", ret);
    }
}
