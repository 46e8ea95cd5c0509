// Forwarding of the audio calls to the backend of the context in use.
#include "platform/audio/Audio.h"

#include "platform/Context.h"
#include "platform/audio/AudioBackend.h"

namespace audio {
namespace {
const std::shared_ptr<AudioBackend>& Slot() { return platform::CurrentContext().backend; }
}  // namespace

AudioBackend* CurrentBackend() { return Slot().get(); }

uint32_t GetVersion() { return kVersion; }

bool Init(int device, uint32_t freq, uint32_t flags, void* /*window*/, const void* /*clsid*/) {
    return Slot() && Slot()->Init(device, freq, flags);
}

bool Free() {
    if (!Slot()) return false;
    Slot()->Free();
    return true;
}

bool RecordInit(int device) { return Slot() && Slot()->RecordInit(device); }

bool RecordFree() {
    if (!Slot()) return false;
    Slot()->RecordFree();
    return true;
}

const char* RecordGetInputName(int input) {
    return Slot() ? Slot()->RecordGetInputName(input) : nullptr;
}

uint32_t RecordGetInput(int input) { return Slot() ? Slot()->RecordGetInput(input) : kInputFailed; }

bool RecordSetInput(int input, uint32_t setting) {
    return Slot() && Slot()->RecordSetInput(input, setting);
}

Handle RecordStart(uint32_t freq, uint32_t chans, uint32_t flags, RecordProc proc, void* user) {
    return Slot() ? Slot()->RecordStart(freq, chans, flags, proc, user) : 0;
}

Handle StreamCreateFile(bool mem, const void* file, uint64_t offset, uint64_t length,
                        uint32_t flags) {
    return Slot() ? Slot()->StreamCreateFile(mem, file, offset, length, flags) : 0;
}

bool ChannelSetAttributes(Handle handle, int freq, int volume, int pan) {
    return Slot() && Slot()->ChannelSetAttributes(handle, freq, volume, pan);
}

bool ChannelPlay(Handle handle, bool restart) {
    return Slot() && Slot()->ChannelPlay(handle, restart);
}

uint32_t ChannelIsActive(Handle handle) { return Slot() ? Slot()->ChannelIsActive(handle) : 0; }

uint64_t ChannelGetPosition(Handle handle) {
    return Slot() ? Slot()->ChannelGetPosition(handle) : kPositionFailed;
}

bool ChannelSetPosition(Handle handle, uint64_t pos) {
    return Slot() && Slot()->ChannelSetPosition(handle, pos);
}

bool ChannelStop(Handle handle) { return Slot() && Slot()->ChannelStop(handle); }

uint32_t ChannelGetData(Handle handle, void* buffer, uint32_t length) {
    return Slot() ? Slot()->ChannelGetData(handle, buffer, length) : kDataFailed;
}

uint32_t ChannelGetDataBefore(Handle handle, uint64_t end, void* buffer, uint32_t length) {
    return Slot() ? Slot()->ChannelGetDataBefore(handle, end, buffer, length) : kDataFailed;
}
double RecordNow() { return Slot() ? Slot()->RecordNow() : 0.0; }
double RecordAge() { return Slot() ? Slot()->RecordAge() : 0.0; }

uint64_t RecordFrames() { return Slot() ? Slot()->RecordFrames() : 0; }

uint32_t RecordCopy(uint64_t first, int16_t* out, uint32_t max, int channel, uint64_t& lost) {
    lost = 0;
    return Slot() ? Slot()->RecordCopy(first, out, max, channel, lost) : 0;
}

bool OutputLost() { return Slot() ? Slot()->OutputLost() : true; }
uint64_t PlaybackGaps() { return Slot() ? Slot()->PlaybackGaps() : 0; }

const char* ErrorText() { return Slot() ? Slot()->ErrorText() : "no audio backend installed"; }

}  // namespace audio
