// The memory stream: a growable buffer with one read/write position.
#include "update/memory_stream.h"

#include <windows.h>
#include <strsafe.h>

#include <cstdlib>
#include <cstring>

namespace {
class c_heap_t : public stream_heap {
public:
    void* reallocate(void* block, size_t size) const override { return std::realloc(block, size); }
};
}  // namespace

const stream_heap& c_heap() {
    static const c_heap_t heap;
    return heap;
}

CMemoryStream::~CMemoryStream() {
    if (_buffer) {
        std::free(_buffer);
        _buffer = nullptr;
    }
    _size = 0;
    _position = 0;
}

uint32_t CMemoryStream::SetSize(uint32_t new_size) {
    if (new_size == 0) {
        std::free(_buffer);
        _buffer = nullptr;
    } else {
        void* grown = _heap.reallocate(_buffer, new_size);
        if (!grown) {
            char text[512];
            StringCchPrintfA(text, ARRAYSIZE(text), "%s(), can not reallocate memory, new memory size=%u bytes",
                             "CMemoryStream::SetSize", new_size);
            OutputDebugStringA(text);
            return kStreamError;
        }
        _buffer = static_cast<uint8_t*>(grown);
    }
    _size = new_size;
    if (_position > _size) {
        _position = _size;
    }
    return new_size;
}

uint32_t CMemoryStream::Clear() { return SetSize(0); }

uint32_t CMemoryStream::ReadFromStream(void* destination, uint32_t count) {
    if (!destination || _position >= _size) {
        return 0;
    }
    const uint32_t left = _size - _position;
    const uint32_t amount = count < left ? count : left;
    std::memcpy(destination, _buffer + _position, amount);
    _position += amount;
    return amount;
}

uint32_t CMemoryStream::WriteToStream(const void* source, uint32_t count) {
    if (count == 0) {
        return 0;
    }
    // A count that would carry the end past 4 GiB, or no source, cannot be
    // written: refuse rather than wrap around and write outside the buffer.
    if (!source || count > kStreamError - _position) {
        return kStreamError;
    }
    const uint32_t end = _position + count;
    if (end > _size && SetSize(end) == kStreamError) {
        return kStreamError;
    }
    std::memcpy(_buffer + _position, source, count);
    _position = end;
    return count;
}

uint32_t CMemoryStream::ReadUint16(uint16_t* value) { return ReadFromStream(value, sizeof(*value)); }

uint32_t CMemoryStream::WriteUint16(uint16_t value) { return WriteToStream(&value, sizeof(value)); }

uint32_t CMemoryStream::ReadUint32(uint32_t* value) { return ReadFromStream(value, sizeof(*value)); }

uint32_t CMemoryStream::WriteUint32(uint32_t value) { return WriteToStream(&value, sizeof(value)); }
