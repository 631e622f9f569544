// The pool task: submission, the pool callback and the wait for its end.
#include "base/thread_pool_task.h"

#include "base/handles.h"

#include <utility>

// Shared by the task object and the pool callback, so either may end first.
struct ThreadPoolTask::State {
    std::function<void()> work;
    event_handle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // set once the work and its captures are gone
};

bool ThreadPoolTask::start(std::function<void()> work) {
    if (_state || !work) {
        return false;
    }
    auto state = std::make_shared<State>();
    if (!state->done) {
        return false;
    }
    state->work = std::move(work);
    // The callback owns one reference, passed through the context pointer.
    auto* reference = new std::shared_ptr<State>(state);
    if (!TrySubmitThreadpoolCallback(&ThreadPoolTask::run, reference, nullptr)) {
        delete reference;
        return false;
    }
    _state = std::move(state);
    return true;
}

void CALLBACK ThreadPoolTask::run(PTP_CALLBACK_INSTANCE, void* context) {
    std::unique_ptr<std::shared_ptr<State>> reference(static_cast<std::shared_ptr<State>*>(context));
    State& state = **reference;
    try {
        state.work();
    } catch (...) {
        // A pool thread must not carry an exception out; the task simply ends.
    }
    // Release what the work captured before anyone learns that the task ended.
    state.work = nullptr;
    SetEvent(state.done.get());
}

bool ThreadPoolTask::wait(DWORD timeout_ms) const {
    if (!_state) {
        return true;
    }
    return WaitForSingleObject(_state->done.get(), timeout_ms) == WAIT_OBJECT_0;
}
