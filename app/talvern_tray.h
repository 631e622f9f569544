// The agent object: owns everything that runs while the notification icon is
// up (single-instance guard, service channel, the queue of device events and
// the worker that delivers them), brings it up in start() and takes it down in
// stop().
#pragma once

#include "app/service_channel.h"
#include "app/tray_options.h"
#include "pnp/pnp_info.h"
#include "base/handles.h"

#include <windows.h>

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <deque>
#include <memory>

class NameConverter;
class PNPMonitor;
class TalvernUpdater;
class ThreadPoolTask;

class TalvernTray {
public:
    explicit TalvernTray(const tray_options& options = tray_options());
    virtual ~TalvernTray();
    TalvernTray(const TalvernTray&) = delete;
    TalvernTray& operator=(const TalvernTray&) = delete;

    // Brings every piece up; false at the first step that fails. What was
    // created before the failure stays in the agent for stop().
    bool start();

    // Takes down whatever is held; safe after a partial start and when repeated.
    void stop();

    // Cancels the update request and waits for its task: libcurl may be
    // cleaned up once this returns. stop() does it too.
    void cancel_update_check();

    // Device-event callback of the PNP monitor: queues info (whose ownership
    // passes with the call) for the worker.
    static bool on_pnp_event(void* context, pnp_info* info);

    // Body of the worker thread: delivers queued records to the service.
    void tray_worker();

    // Service channel: the request/response events (retried until the service
    // has created them) and the shared section with its 4096-byte view.
    bool open_tray_to_svc_events() { return _channel.open_events(); }
    bool open_tray_to_svc_section() { return _channel.open_section(); }

private:
    bool start_steps();
    void deliver(const pnp_info& info);

    const tray_options _options;
    std::atomic<bool> _stop;
    event_handle _nodup_event;
    std::unique_ptr<PNPMonitor> _pnp_mon;
    // The update checker; the update task holds a reference of its own.
    std::shared_ptr<TalvernUpdater> _updater;
    // The request/response events and the section with its view.
    ServiceChannel _channel;
    boost::mutex _queue_lock;
    boost::condition_variable _queue_cond;
    std::deque<std::unique_ptr<pnp_info>> _queue;
    std::unique_ptr<boost::thread> _worker;
    // True while the response event may hold a signal that answers no
    // request of the worker's: at first, after stop() (which signals it), and
    // after a wait that ended without the answer. The worker then resets the
    // event before its next request; only the worker and stop() touch it.
    bool _answer_may_be_late = true;
    // This agent's reference to the shared converter; null when not held.
    NameConverter* _name_converter;
    // The pool task that runs the update request; stop() waits for its end.
    std::unique_ptr<ThreadPoolTask> _update_task;
};

// The process's one agent, owned through this pointer by the entry routine.
extern TalvernTray* _talvern_tray;
