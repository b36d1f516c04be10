// A growable block of bytes on the C heap that owns its memory: the writer's
// buffers, whose growth reports running out of memory as a result instead of
// ending the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

struct ByteBuffer {
    uint8_t* data = nullptr;
    size_t size = 0;
    size_t capacity = 0;

    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { std::free(data); }
};

// Room for at least capacity bytes, the contents kept; false when out of memory.
inline bool Reserve(ByteBuffer* buffer, size_t capacity) {
    if (capacity <= buffer->capacity) return true;
    void* grown = std::realloc(buffer->data, capacity);
    if (grown == nullptr) return false;
    buffer->data = static_cast<uint8_t*>(grown);
    buffer->capacity = capacity;
    return true;
}

// Appends size bytes, at least doubling the room when it runs out.
inline bool Append(ByteBuffer* buffer, const void* bytes, size_t size) {
    if (size > buffer->capacity - buffer->size) {
        size_t wanted = buffer->capacity < 4096 ? 4096 : buffer->capacity * 2;
        if (wanted - buffer->size < size) wanted = buffer->size + size;
        if (!Reserve(buffer, wanted)) return false;
    }
    if (size != 0) std::memcpy(buffer->data + buffer->size, bytes, size);
    buffer->size += size;
    return true;
}

inline bool AppendByte(ByteBuffer* buffer, uint8_t value) { return Append(buffer, &value, 1); }

// Empties the buffer and gives its memory back.
inline void Free(ByteBuffer* buffer) {
    std::free(buffer->data);
    buffer->data = nullptr;
    buffer->size = 0;
    buffer->capacity = 0;
}
