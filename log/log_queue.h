// Queue<T>: a queue under its own lock, filled by any thread and emptied by
// one consumer that takes everything queued in one step. It holds at most a
// bound of units the producer names for each item (the logger: bytes of
// text), refuses what does not fit, and refuses all once closed.
//
// The items live in a vector that the consumer swaps for the one it has just
// written out: a push assigns into a slot left from an earlier round where
// there is one, so once both have grown, queuing allocates nothing (when T's
// assignment reuses what the slot holds, as a string's does).
#pragma once

#include <windows.h>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/mutex.hpp>

#include <cstddef>
#include <vector>

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

    // Queues item (anything a T is made or assigned from), which counts
    // units, if room units fit (room >= units: room for more to come).
    // Throws std::bad_alloc, with nothing queued.
    template <class Item>
    push_result push(const Item& item, size_t units, size_t room) {
        // The lock is held for a copy: a caller that finds it taken spins a
        // little before it sleeps in the lock, a round trip to the kernel
        // (under Wine, to the wineserver) that costs far more than the wait.
        boost::unique_lock<boost::mutex> guard(_lock, boost::defer_lock);
        for (int spins = 0; !guard.try_lock(); ++spins) {
            if (spins == kSpins) {
                guard.lock();
                break;
            }
            if (spins % 16 == 15) {
                SwitchToThread();  // the holder may wait for this core
            } else {
                YieldProcessor();
            }
        }
        if (!_open) {
            return closed;
        }
        if (room > _bound - _units) {
            return no_room;
        }
        if (_count < _items.size()) {
            _items[_count] = item;
        } else {
            _items.emplace_back(item);
        }
        ++_count;
        _units += units;
        const bool asleep = _consumer_asleep;
        _consumer_asleep = false;
        return asleep ? wake : queued;
    }

    // Takes everything queued in exchange for slots: the first count items of
    // slots are then the queued ones, oldest first, the rest left from earlier
    // rounds. What was taken no longer counts against the bound. With nothing
    // queued, false, and the consumer counts as asleep until the next push.
    bool take_all(std::vector<T>& slots, size_t& count) {
        boost::lock_guard<boost::mutex> guard(_lock);
        _items.swap(slots);
        count = _count;
        _count = 0;
        _units = 0;
        _consumer_asleep = count == 0;
        return count != 0;
    }

    void open() { set_open(true); }
    void close() { set_open(false); }

private:
    static constexpr int kSpins = 200;

    void set_open(bool open) {
        boost::lock_guard<boost::mutex> guard(_lock);
        _open = open;
    }

    boost::mutex _lock;
    std::vector<T> _items;
    size_t _count = 0;  // items queued: the first of _items
    size_t _units = 0;
    const size_t _bound;
    bool _open = true;
    bool _consumer_asleep = false;
};
