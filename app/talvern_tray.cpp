// Construction, start-up order and shut-down order of the agent.
#include "app/talvern_tray.h"

#include "app/service_names.h"
#include "log/log.h"
#include "nameconv/name_converter.h"
#include "pnp/pnp_monitor.h"
#include "update/talvern_updater.h"
#include "base/thread_pool_task.h"
#include "util/session.h"

#include <exception>

namespace {

const char kStart[] = "TalvernTray::start";
const char kStop[] = "TalvernTray::stop";

}  // namespace

TalvernTray* _talvern_tray = nullptr;

TalvernTray::TalvernTray(const tray_options& options)
    : _options(options),
      _stop(false),
      _channel(options.connect_retry_ms, options.connect_max_tries),
      _name_converter(nullptr) {}

TalvernTray::~TalvernTray() {
    stop();
}

bool TalvernTray::start() {
    try {
        return start_steps();
    } catch (const std::exception& e) {
        log_write_fmt(log_category_general, log_level_error, kStart, "Talvern tray start failed. exception=%s",
                      e.what());
    } catch (...) {
        log_write_fmt(log_category_general, log_level_error, kStart, "Talvern tray start failed. exception=unknown");
    }
    return false;
}

bool TalvernTray::start_steps() {
    // Device name converter: this agent keeps one reference until stop().
    if (_name_converter == nullptr) {
        _name_converter = NameConverter::get_instance();
    }
    if (!_name_converter->load(false)) {
        log_write_fmt(log_category_general, log_level_error, kStart, "Can not initialize NameCovnerter api.");
        return false;
    }
    log_write_fmt(log_category_general, log_level_info, kStart, "NameConverter api initialized.");

    if (_nodup_event) {
        return false;
    }

    // Single-instance guard of the logon session. When the session cannot be
    // read (logged by the helper) the guard is named after session 0.
    DWORD session_id = 0;
    get_session_id_by_pid(GetCurrentProcessId(), session_id);
    const std::wstring nodup_name = make_object_name(kNoDupEventPrefix, session_id);
    _nodup_event.reset(CreateEventW(nullptr, FALSE, FALSE, nodup_name.c_str()));
    if (!_nodup_event) {
        log_write_fmt(log_category_general, log_level_error, kStart, "Can not create event object. object=%ws",
                      nodup_name.c_str());
        return false;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        log_write_fmt(log_category_general, log_level_error, kStart, "Talvern tray is already running.");
        _nodup_event.reset();
        return false;
    }
    log_write_fmt(log_category_general, log_level_debug, kStart, "no-dup handle created.");

    // Update checker: needs the host identifier from the registry.
    _updater = std::make_shared<TalvernUpdater>(_options.update_base_url, _options.http);
    if (!_updater->initialize()) {
        log_write_fmt(log_category_general, log_level_error, kStart, "Can not initialize Talvern updater");
        return false;
    }
    log_write_fmt(log_category_general, log_level_debug, kStart, "TalvernUpdater initialized successfully.");

    // Update task: runs on the thread pool while start goes on. It owns a
    // reference to the updater, so the updater and its libcurl handle live
    // until the task has ended; stop() cancels the request and waits for that.
    std::shared_ptr<TalvernUpdater> updater = _updater;
    _update_task.reset(new ThreadPoolTask());
    if (!_update_task->start([updater]() {
            const bool updated = updater->check_talvern_update();
            log_write_fmt(log_category_general, log_level_debug, "TalvernTray::start::<lambda>",
                          "update worker update = %s", updated ? "O" : "X");
        })) {
        // The agent runs without its update check rather than not at all.
        log_write_fmt(log_category_general, log_level_error, kStart, "Can not create update task.");
    }

    // Service channel.
    if (!open_tray_to_svc_events()) {
        log_write_fmt(log_category_general, log_level_error, kStart, "open_tray_to_svc_events() faild. ");
        return false;
    }
    log_write_fmt(log_category_general, log_level_info, kStart, "tray to svc events opened successfully.");
    if (!open_tray_to_svc_section()) {
        log_write_fmt(log_category_general, log_level_error, kStart, "open_tray_to_svc_section() failed. ");
        return false;
    }
    log_write_fmt(log_category_general, log_level_info, kStart, "tray to svc section opened successfully.");

    // PNP monitor: plug-in library, WMI and the first disk tables, then the
    // plug-in is started. From here on device events can reach _queue.
    _pnp_mon.reset(new PNPMonitor());
    if (!_pnp_mon->initialize()) {
        log_write_fmt(log_category_general, log_level_error, kStart, "_pnp_mon->initialize() failed.");
        return false;
    }
    if (!_pnp_mon->run(this, &TalvernTray::on_pnp_event)) {
        log_write_fmt(log_category_general, log_level_error, kStart, "_pnp_mon->run() failed. ");
        return false;
    }
    log_write_fmt(log_category_general, log_level_debug, kStart, "PNP monitor running.");

    // Worker: the last piece, it delivers what the monitor queues.
    try {
        _worker.reset(new boost::thread(&TalvernTray::tray_worker, this));
    } catch (const std::exception& e) {
        log_write_fmt(log_category_general, log_level_error, kStart,
                      "Can not create Talvern tray worker thread. error=%s", e.what());
        return false;
    }
    log_write_fmt(log_category_general, log_level_debug, kStart, "Talvern tray worker created successfully.");
    log_write_fmt(log_category_general, log_level_info, kStart, "Talvern tray started successfully.");
    return true;
}

void TalvernTray::cancel_update_check() {
    // The update request ends early once cancelled (libcurl checks about once a
    // second, and it is bounded by its 90 s time-out anyway).
    if (_updater) {
        _updater->cancel();
    }
    if (_update_task) {
        _update_task->wait(INFINITE);
        _update_task.reset();
    }
}

void TalvernTray::stop() {
    _stop = true;

    // No device event arrives once the monitor has stopped the plug-in.
    if (_pnp_mon) {
        _pnp_mon->stop();
        _pnp_mon.reset();
        log_write_fmt(log_category_general, log_level_debug, kStop, "PNP monitor stopped.");
    }

    // Wake the worker from a pending response wait. The service's request
    // signal waits until the worker has been joined: before that it could be
    // half-way through writing a record into the section.
    _channel.signal_response();

    if (_worker) {
        {
            boost::unique_lock<boost::mutex> lock(_queue_lock);
            _queue_cond.notify_all();
        }
        _worker->join();
        _worker.reset();
        log_write_fmt(log_category_general, log_level_debug, kStop, "tray worker thread returned.");
    }
    // The wake-up above may be left pending for a worker of a later start.
    _answer_may_be_late = true;

    // The worker has returned: nothing uses the channel any more.
    _channel.signal_request();
    _channel.close();

    {
        boost::unique_lock<boost::mutex> lock(_queue_lock);
        while (!_queue.empty()) {
            _queue.pop_front();  // undelivered records are dropped
        }
    }

    if (_nodup_event) {
        _nodup_event.reset();
        log_write_fmt(log_category_general, log_level_debug, kStop, "no-dup handle closed.");
    }

    cancel_update_check();
    _updater.reset();

    if (_name_converter != nullptr) {
        NameConverter::release_instance(_name_converter);
        _name_converter = nullptr;
    }
    log_write_fmt(log_category_general, log_level_info, kStop, "Talvern tray stopped successfully.");
}
