// Queue<T>: a double-ended queue under its own lock, filled by any thread and
// emptied by one consumer that takes everything queued in one step. It holds
// at most a bound of units the producer names for each item (the logger:
// bytes of text), refuses what does not fit, and refuses all once closed.
#pragma once

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <cstddef>
#include <deque>

template <class T>
class Queue {
public:
    enum push_result {
        closed,   // nothing was queued
        no_room,  // nothing was queued
        queued,
        wake,     // queued while the consumer sleeps: the caller wakes it
    };

    explicit Queue(size_t bound) : _bound(bound) {}

    // Queues item, which counts units, if room units fit (at least units).
    // Throws std::bad_alloc, with nothing queued.
    push_result push(T&& item, size_t units, size_t room) {
        boost::lock_guard<boost::mutex> guard(_lock);
        if (!_open) {
            return closed;
        }
        if (room > _bound - _units) {
            return no_room;
        }
        _items.push_back(std::move(item));
        _units += units;
        const bool asleep = _consumer_asleep;
        _consumer_asleep = false;
        return asleep ? wake : queued;
    }

    // Moves everything queued into out (which must be empty), oldest first;
    // what was taken no longer counts against the bound. With nothing queued,
    // false, and the consumer counts as asleep until the next push.
    bool take_all(std::deque<T>& out) {
        boost::lock_guard<boost::mutex> guard(_lock);
        _consumer_asleep = _items.empty();
        _items.swap(out);
        _units = 0;
        return !_consumer_asleep;
    }

    void open() { set_open(true); }
    void close() { set_open(false); }

private:
    void set_open(bool open) {
        boost::lock_guard<boost::mutex> guard(_lock);
        _open = open;
    }

    boost::mutex _lock;
    std::deque<T> _items;
    size_t _units = 0;
    const size_t _bound;
    bool _open = true;
    bool _consumer_asleep = false;
};
