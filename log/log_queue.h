// Queue<T>: a queue under its own lock, filled by any thread and emptied by
// one consumer that takes everything queued in one step. It holds at most a
// bound of units the producer names for each item (the logger's: bytes of
// text), and refuses what does not fit and everything while closed, as it is
// when made. The consumer swaps its vector of written-out items for the
// queue's, and a push fills a slot left from an earlier round: once both have
// grown, queuing allocates nothing (when T reuses its storage, as a string does).
#pragma once

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <cstddef>
#include <utility>
#include <vector>

template <class T>
class Queue {
public:
    enum push_result { closed, no_room, queued, wake };  // wake: queued, and the consumer sleeps

    explicit Queue(size_t bound) : _bound(bound) {}

    // Queues an item that counts units, filled in place by fill(T&), if room
    // units fit (room >= units: room for more to come). Throws std::bad_alloc,
    // with nothing queued.
    template <class Fill>
    push_result push(size_t units, size_t room, const Fill& fill) {
        boost::lock_guard<boost::mutex> guard(_lock);
        if (!_open) {
            return closed;
        }
        if (room > _bound - _units) {
            return no_room;
        }
        if (_count == _items.size()) {
            _items.emplace_back();
        }
        fill(_items[_count]);
        ++_count;
        _units += units;
        return std::exchange(_consumer_asleep, false) ? wake : queued;
    }

    // Takes everything queued in exchange for slots, whose first count items
    // are then the queued ones, oldest first. With nothing queued, false,
    // slots are kept, and the consumer counts as asleep until the next push.
    bool take_all(std::vector<T>& slots, size_t& count) {
        boost::lock_guard<boost::mutex> guard(_lock);
        count = std::exchange(_count, 0);
        _units = 0;
        _consumer_asleep = count == 0;
        if (count != 0) {
            _items.swap(slots);
        }
        return count != 0;
    }

    void set_open(bool open) {
        boost::lock_guard<boost::mutex> guard(_lock);
        _open = open;
    }

private:
    boost::mutex _lock;
    std::vector<T> _items;
    size_t _count = 0;  // the first _count of _items are queued
    size_t _units = 0;
    const size_t _bound;
    bool _open = false;
    bool _consumer_asleep = false;
};
