// The types and constants of the audio call contract, shared by the calls (Audio.h) and the
// backends behind them (AudioBackend.h).
#pragma once

#include <cstdint>

namespace audio {

using Handle = uint32_t;  // stream or recording handle; 0 = failure

// Called with each recorded block (interleaved s16 frames, length in bytes). On the backend's
// recording thread; on the virtual apparatus's manual clock on the thread that advances the
// clock (the GUI thread, inside platform::Sleep). It must not block; its result is ignored.
using RecordProc = bool (*)(Handle handle, const void* buffer, uint32_t length, void* user);

// Version of the call contract implemented; the high 16 bits name contract 2.3.
inline constexpr uint32_t kVersion = 0x02030001;

// RecordGetInput state word and RecordSetInput settings.
inline constexpr uint32_t kInputOff = 0x10000;
inline constexpr uint32_t kInputOn = 0x20000;
inline constexpr uint32_t kInputLevel = 0x40000;
inline constexpr uint32_t kInputTypeMask = 0xFF000000;
inline constexpr uint32_t kInputTypeDigital = 0x01000000;
inline constexpr uint32_t kInputTypeLine = 0x02000000;
inline constexpr uint32_t kInputTypeMic = 0x03000000;
inline constexpr uint32_t kInputTypePhone = 0x06000000;
inline constexpr uint32_t kInputTypeAux = 0x09000000;
inline constexpr uint32_t kInputTypeAnalog = 0x0A000000;
inline constexpr uint32_t kInputFailed = 0xFFFFFFFF;

// ChannelGetData flag words: bit 31 asks for magnitudes instead of samples.
inline constexpr uint32_t kDataFft = 0x80000000;
inline constexpr uint32_t kDataFft1024 = 0x80000001;
inline constexpr uint32_t kDataFftIndividual = 0x10;
inline constexpr uint32_t kDataFailed = 0xFFFFFFFF;

// ChannelGetPosition on an unknown handle.
inline constexpr uint64_t kPositionFailed = ~uint64_t{0};

}  // namespace audio
