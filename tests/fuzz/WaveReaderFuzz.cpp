// libFuzzer target: the wave-function file reader on arbitrary bytes. It must not crash or read
// past its buffer, and a file it refuses leaves the values as they were.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "wavefunction/WaveFunction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> copy(data, data + size);
    std::FILE* f = size > 0 ? fmemopen(copy.data(), copy.size(), "rb") : std::tmpfile();
    if (f == nullptr) return 0;
    sonarix::WaveValues values;
    values.fill(-1.0);
    const int error = sonarix::ReadWaveValues(f, values);
    std::fclose(f);
    if (error != 0) {
        for (double v : values) {
            if (v != -1.0) std::abort();
        }
    }
    return 0;
}
