// The program's audio calls: one function per call of the audio contract, forwarded to the
// backend chosen at start-up (libpulse or the virtual apparatus).
#pragma once

#include <cstdint>
#include <memory>

namespace audio {

class AudioBackend;

using Handle = uint32_t;  // stream or recording handle; 0 = failure

// Called on the recording thread with each recorded block (interleaved s16 frames).
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

// Every call below runs on the GUI thread; results follow the audio contract:
// a handle or success value of 0 (false) means failure.
uint32_t GetVersion();
bool Init(int device, uint32_t freq, uint32_t flags, void* window, const void* clsid);
bool Free();
bool RecordInit(int device);
bool RecordFree();
const char* RecordGetInputName(int input);  // nullptr past the last input
uint32_t RecordGetInput(int input);         // kInputFailed on failure
bool RecordSetInput(int input, uint32_t setting);
Handle RecordStart(uint32_t freq, uint32_t chans, uint32_t flags, RecordProc proc, void* user);
Handle StreamCreateFile(bool mem, const void* file, uint64_t offset, uint64_t length,
                        uint32_t flags);
bool ChannelSetAttributes(Handle handle, int freq, int volume, int pan);
bool ChannelPlay(Handle handle, bool restart);
uint32_t ChannelIsActive(Handle handle);
uint64_t ChannelGetPosition(Handle handle);
bool ChannelSetPosition(Handle handle, uint64_t pos);
bool ChannelStop(Handle handle);
uint32_t ChannelGetData(Handle handle, void* buffer, uint32_t length);

// Installs the backend that every call above forwards to; the layer owns it. Passing nullptr
// removes it, after which every call fails.
void UseBackend(std::unique_ptr<AudioBackend> backend);
AudioBackend* CurrentBackend();

}  // namespace audio
