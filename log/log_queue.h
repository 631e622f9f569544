// The logger's queue: a double-ended queue with its own lock, filled by the log
// call and drained by the writer thread. The count may be read without the lock.
#pragma once

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <atomic>
#include <cstddef>
#include <deque>
#include <exception>
#include <utility>

template <typename T>
class Queue {
public:
    // Thrown by pop() on an empty queue.
    class ReadEmptyQueue : public std::exception {
    public:
        const char* what() const noexcept override { return "read empty queue"; }
    };

    Queue() = default;
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    void push(T item) {
        boost::lock_guard<boost::mutex> guard(_lock);
        push_locked(std::move(item));
    }

    T pop() {
        boost::lock_guard<boost::mutex> guard(_lock);
        return pop_locked();
    }

    // Number of items; read without the lock, so only a hint between pops.
    size_t count() const { return _count.load(); }

    // For a caller that holds lock() across several operations.
    boost::mutex& lock() { return _lock; }
    void push_locked(T item) {
        _items.push_back(std::move(item));
        _count = _items.size();
    }
    T pop_locked() {
        if (_items.empty()) {
            throw ReadEmptyQueue();
        }
        T item = std::move(_items.front());
        _items.pop_front();
        _count = _items.size();
        return item;
    }
    bool empty_locked() const { return _items.empty(); }

private:
    boost::mutex _lock;
    std::deque<T> _items;
    std::atomic<size_t> _count{0};
};
