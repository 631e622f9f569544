// A fire-and-forget task on the process's Windows thread pool that can still be
// waited for: runs one function object on a pool thread, destroys it (and what
// it captured) there, and only then reports the task as ended. Stands in for the
// Concurrency runtime's task facility, which MinGW lacks.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

class ThreadPoolTask {
public:
    ThreadPoolTask() = default;
    // Does not wait: a running task goes on and cleans up after itself.
    ~ThreadPoolTask() = default;
    ThreadPoolTask(const ThreadPoolTask&) = delete;
    ThreadPoolTask& operator=(const ThreadPoolTask&) = delete;

    // Submits work to the thread pool. False when the pool refuses it, when work
    // is empty, or when this object already holds a task.
    bool start(std::function<void()> work);

    // Waits up to timeout_ms for the task's end, including the destruction of
    // its function object. True when it has ended, or when no task was started.
    bool wait(DWORD timeout_ms = INFINITE) const;

    // A task was started and has not ended yet.
    bool running() const { return !wait(0); }

private:
    struct State;
    static void CALLBACK run(PTP_CALLBACK_INSTANCE instance, void* context);
    std::shared_ptr<State> _state;
};
