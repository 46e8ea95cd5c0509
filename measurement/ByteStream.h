// A growable in-memory byte stream for the test-signal image, filled without zeroing first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace sonarix {

// One contiguous block, reused between signals: the audio backends play straight from it.
class ByteStream {
public:
    const uint8_t* Data() const { return m_data.get(); }
    uint8_t* Data() { return m_data.get(); }
    size_t Size() const { return m_size; }
    size_t Capacity() const { return m_capacity; }

    void Clear() { m_size = 0; }
    // Makes the stream n bytes long with unspecified content; keeps the block when it is
    // large enough and not much larger, so a short tone after a long sweep frees the memory.
    void ResizeForOverwrite(size_t n);

private:
    std::unique_ptr<uint8_t[]> m_data;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

}  // namespace sonarix
