// Byte streams for the update check: the abstract CStream interface and
// CMemoryStream, a growable heap buffer with one read/write position. The HTTP
// client collects a response body in a CMemoryStream. No locking: one thread
// owns a stream.
#pragma once

#include <cstddef>
#include <cstdint>

// Result of SetSize and WriteToStream when memory cannot be had.
constexpr uint32_t kStreamError = 0xFFFFFFFFu;

// Where a memory stream's buffer grows: the C heap, or a stand-in given at
// construction. Blocks are given back with free().
class stream_heap {
public:
    virtual ~stream_heap() = default;
    // As realloc: the block grown or shrunk to size, or null (block untouched).
    virtual void* reallocate(void* block, size_t size) const = 0;
};

// realloc itself.
const stream_heap& c_heap();

class CStream {
public:
    // The order of these virtual operations is part of the interface.
    virtual uint32_t SetSize(uint32_t new_size) = 0;
    virtual ~CStream() {}
    virtual uint32_t Clear() = 0;
    virtual uint32_t ReadFromStream(void* destination, uint32_t count) = 0;
    virtual uint32_t WriteToStream(const void* source, uint32_t count) = 0;
    virtual uint32_t ReadUint16(uint16_t* value) = 0;
    virtual uint32_t WriteUint16(uint16_t value) = 0;
    virtual uint32_t ReadUint32(uint32_t* value) = 0;
    virtual uint32_t WriteUint32(uint32_t value) = 0;
};

class CMemoryStream : public CStream {
public:
    explicit CMemoryStream(const stream_heap& heap = c_heap()) : _heap(heap) {}
    ~CMemoryStream() override;
    CMemoryStream(const CMemoryStream&) = delete;
    CMemoryStream& operator=(const CMemoryStream&) = delete;

    // Resizes the buffer to exactly new_size bytes (0 frees it); the position
    // moves back to the new size if it lay beyond. kStreamError, and nothing
    // changed, when the heap refuses.
    uint32_t SetSize(uint32_t new_size) override;
    uint32_t Clear() override;
    // Copies up to count bytes from the position; the number copied.
    uint32_t ReadFromStream(void* destination, uint32_t count) override;
    // Writes count bytes at the position, growing the buffer to fit; count, 0
    // when there is nothing to write, or kStreamError.
    uint32_t WriteToStream(const void* source, uint32_t count) override;
    uint32_t ReadUint16(uint16_t* value) override;
    uint32_t WriteUint16(uint16_t value) override;
    uint32_t ReadUint32(uint32_t* value) override;
    uint32_t WriteUint32(uint32_t value) override;

    // Direct access for the owner.
    const uint8_t* buffer() const { return _buffer; }
    uint32_t size() const { return _size; }
    uint32_t position() const { return _position; }
    // Moves the position, at most to the size.
    void set_position(uint32_t position) { _position = position < _size ? position : _size; }

private:
    const stream_heap& _heap;
    uint32_t _size = 0;
    uint32_t _position = 0;
    uint8_t* _buffer = nullptr;
};
