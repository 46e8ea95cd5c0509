// Reading the wave-function data file.
#include <cstdio>

#include "measurement/TextFiles.h"
#include "wavefunction/WaveFunction.h"

namespace sonarix {

int ReadWaveValues(std::FILE* f, WaveValues& values, std::string* reason) {
    int error = 0;
    WaveValues read{};  // scratch: a failed file leaves the values as they were
    TextReader in(f);
    for (size_t k = 0; k < read.size() && error == 0; ++k) {
        in.ReadNumber();  // the angle, for the reader of the file
        read[k] = in.ReadNumber();
        in.SkipLine();
        error = in.TakeError();
    }
    if (error == 0) values = read;
    if (error != 0 && reason != nullptr) *reason = in.Reason();
    return error;
}

int ReadWaveFile(const std::string& path, WaveValues& values, std::string* reason) {
    int error = 0;
    std::FILE* f = OpenForReading(path, error, reason);
    if (f == nullptr) return error;
    error = ReadWaveValues(f, values, reason);
    std::fclose(f);
    return error;
}

}  // namespace sonarix
