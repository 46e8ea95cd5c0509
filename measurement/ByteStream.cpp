// The test-signal byte stream.
#include "measurement/ByteStream.h"

namespace sonarix {

void ByteStream::ResizeForOverwrite(size_t n) {
    constexpr size_t kSlack = size_t{8} << 20;
    if (n > m_capacity || m_capacity > 2 * n + kSlack) {
        m_data.reset();  // release first, so the old and new blocks never coexist
        m_capacity = 0;
        m_size = 0;
        m_data = std::make_unique_for_overwrite<uint8_t[]>(n);
        m_capacity = n;
    }
    m_size = n;
}

}  // namespace sonarix
