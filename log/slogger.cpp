// The logger's writer thread and its life cycle.
#include "log/slogger.h"

#include <boost/thread/exceptions.hpp>
#include <boost/thread/lock_guard.hpp>

#include <cstring>

#include "log/console_sink.h"
#include "log/debug_sink.h"
#include "log/log.h"
#include "log/log_reentry.h"

namespace {
constexpr DWORD kIdlePollMs = 100;
constexpr size_t kGatherLines = 2048;
constexpr DWORD kGatherMs = 1;
constexpr int kLockSpins = 100;

// Takes the queue's lock, trying for a while before it sleeps: the lock is
// only ever held for a copy of one line or a glance at the first block, while
// a thread that sleeps on it costs a round trip through the kernel (under
// Wine, through the wineserver) to itself and to the thread that wakes it.
void lock_queue(boost::mutex& lock) {
    for (int i = 0; i < kLockSpins; ++i) {
        if (lock.try_lock()) {
            return;
        }
        YieldProcessor();
    }
    lock.lock();
}
}  // namespace

slogger::slogger() {
    _spare.reserve(kSpareBlocks);  // keeping an emptied block never allocates
}

slogger::~slogger() {
    slog_stop();
    close_log_file();  // opened without a writer ever running
    // Lines pushed after the writer ended (none in normal use) are freed with their blocks.
}

bool slogger::slog_start() {
    if (_thread) {
        return false;
    }
    _stop = false;
    try {
        _thread.reset(new boost::thread(&slogger::slog_thread, this));
    } catch (const std::exception&) {
        _stop = true;
        return false;
    }
    return true;
}

void slogger::slog_stop() {
    if (_stop) {
        return;
    }
    _stop = true;
    if (_thread) {
        _thread->join();
        _thread.reset();
    }
    boost::lock_guard<boost::mutex> guard(_file_lock);
    close_log_file();
}

void slogger::push_line(uint32_t level, uint32_t log_to, const char* line, size_t length) {
    const size_t room = line_block::kCapacity - sizeof(line_header) - 1;
    if (length > room) {
        length = room;
    }
    const size_t bytes = sizeof(line_header) + length + 1;
    const line_header header{level, log_to, static_cast<uint32_t>(length)};

    std::unique_ptr<line_block> fresh;  // a new block, made outside the lock
    for (;;) {
        {
            lock_queue(_queue_lock);
            boost::lock_guard<boost::mutex> guard(_queue_lock, boost::adopt_lock);
            line_block* block = _blocks.empty() ? nullptr : _blocks.back().get();
            if (block == nullptr || line_block::kCapacity - block->used < bytes) {
                if (!fresh && !_spare.empty()) {
                    fresh = std::move(_spare.back());
                    _spare.pop_back();
                }
                if (fresh) {
                    fresh->used = 0;
                    fresh->read = 0;
                    _blocks.push_back(std::move(fresh));
                    block = _blocks.back().get();
                } else {
                    block = nullptr;
                }
            }
            if (block != nullptr) {
                char* at = block->bytes + block->used;
                memcpy(at, &header, sizeof(header));
                memcpy(at + sizeof(header), line, length);
                at[sizeof(header) + length] = '\0';
                block->used += bytes;
                if (fresh && _spare.size() < kSpareBlocks) {
                    _spare.push_back(std::move(fresh));  // another caller was first
                }
                return;
            }
        }
        // No block with room and none spare: one is made, and its pages are
        // touched, outside the lock, so the other callers do not wait for
        // the heap and the page faults.
        fresh.reset(new line_block);
        for (size_t at = 0; at < line_block::kCapacity; at += 4096) {
            fresh->bytes[at] = '\0';
        }
    }
}

void slogger::slog_thread() {
    log_reentry_guard writer_thread;  // nothing on this thread may log
    while (!_stop) {
        size_t written = 0;
        try {
            written = write_queued();
        } catch (const boost::lock_error&) {
            // the lines stay queued for the next round
        }
        if (written == 0) {
            Sleep(kIdlePollMs);
        } else if (written < kGatherLines) {
            // A few lines at a time: while more keep coming, let them gather
            // for a moment rather than take the queue's lock line by line
            // beside the threads that are filling it.
            Sleep(kGatherMs);
        }
    }
    drain_queue();
}

size_t slogger::write_queued() {
    line_block* block = nullptr;
    size_t end = 0;
    {
        lock_queue(_queue_lock);
        boost::lock_guard<boost::mutex> guard(_queue_lock, boost::adopt_lock);
        for (;;) {
            if (_blocks.empty()) {
                return 0;
            }
            block = _blocks.front().get();
            end = block->used;
            if (block->read != end) {
                break;
            }
            if (_blocks.size() == 1) {
                block->used = 0;  // all read: filled again from its start
                block->read = 0;
                return 0;
            }
            // A block behind which others were started is full: reused or freed.
            std::unique_ptr<line_block> done = std::move(_blocks.front());
            _blocks.pop_front();
            if (_spare.size() < kSpareBlocks) {
                _spare.push_back(std::move(done));
            }
        }
    }
    // Lines below end stay as they are: the log call only appends.
    size_t written = 0;
    while (block->read < end && !_stop) {
        line_header header;
        memcpy(&header, block->bytes + block->read, sizeof(header));
        write_entry(header.level, header.log_to, block->bytes + block->read + sizeof(header));
        block->read += sizeof(header) + header.length + 1;
        ++written;
    }
    return written;
}

void slogger::drain_queue() {
    // Every line queued before the stop is written, file first.
    boost::lock_guard<boost::mutex> guard(_queue_lock);
    for (const std::unique_ptr<line_block>& block : _blocks) {
        while (block->read < block->used) {
            line_header header;
            memcpy(&header, block->bytes + block->read, sizeof(header));
            const char* line = block->bytes + block->read + sizeof(header);
            block->read += sizeof(header) + header.length + 1;
            try {
                if (header.log_to & log_to_file) {
                    append_file_line(line);
                }
                if (header.log_to & log_to_con) {
                    console_write(header.level, line);
                }
                if (header.log_to & log_to_ods) {
                    debug_write(line);
                }
            } catch (const std::exception&) {
            }
        }
    }
}

void slogger::write_entry(uint32_t level, uint32_t log_to, const char* line) {
    // A sink that runs out of memory loses this line, not the writer thread.
    try {
        write_sinks(level, log_to, line);
    } catch (const std::exception&) {
    }
}

void slogger::write_sinks(uint32_t level, uint32_t log_to, const char* line) {
    if (log_to & log_to_con) {
        console_write(level, line);
    }
    if (log_to & log_to_ods) {
        debug_write(line);
    }
    if (log_to & log_to_file) {
        write_file_line(line);
    }
}
