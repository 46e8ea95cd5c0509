// libFuzzer target: the spectrum file reader on arbitrary bytes. It must not crash, not read
// past its buffer and never store beyond the capacity it was given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "measurement/TextFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr int kCapacity = 64;
    std::vector<double> x(kCapacity), y(kCapacity);  // exact size: ASan sees any overrun
    std::vector<uint8_t> copy(data, data + size);
    std::FILE* f = size > 0 ? fmemopen(copy.data(), copy.size(), "rb") : std::tmpfile();
    if (f == nullptr) return 0;
    const sonarix::PairRead r = sonarix::ReadPairs(f, kCapacity, x.data(), y.data());
    std::fclose(f);
    if (r.count < 0 || r.count > kCapacity) std::abort();
    if (r.truncated && r.count != kCapacity) std::abort();
    return 0;
}
