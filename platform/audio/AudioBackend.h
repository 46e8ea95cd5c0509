// The interface behind the audio calls, implemented by PulseBackend and VirtualApparatus.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/audio/AudioTypes.h"

namespace audio {

// All methods are called on the GUI thread, each with the meaning of the call of the same name
// in Audio.h. A backend records on a thread of its own (the virtual apparatus's manual clock:
// on the thread that advances it) and hands recorded data out through RecordBuffer, which is
// safe to read meanwhile.
class AudioBackend {
public:
    virtual ~AudioBackend() = default;

    virtual bool Init(int device, uint32_t freq, uint32_t flags) = 0;
    virtual void Free() = 0;
    virtual bool RecordInit(int device) = 0;
    virtual void RecordFree() = 0;
    virtual const char* RecordGetInputName(int input) = 0;
    virtual uint32_t RecordGetInput(int input) = 0;
    virtual bool RecordSetInput(int input, uint32_t setting) = 0;
    virtual Handle RecordStart(uint32_t freq, uint32_t chans, uint32_t flags, RecordProc proc,
                               void* user) = 0;
    virtual Handle StreamCreateFile(bool mem, const void* file, uint64_t offset, uint64_t length,
                                    uint32_t flags) = 0;
    virtual bool ChannelSetAttributes(Handle handle, int freq, int volume, int pan) = 0;
    virtual bool ChannelPlay(Handle handle, bool restart) = 0;
    virtual uint32_t ChannelIsActive(Handle handle) = 0;
    virtual uint64_t ChannelGetPosition(Handle handle) = 0;
    virtual bool ChannelSetPosition(Handle handle, uint64_t pos) = 0;
    virtual bool ChannelStop(Handle handle) = 0;
    virtual uint32_t ChannelGetData(Handle handle, void* buffer, uint32_t length) = 0;
    // ChannelGetData of the frames before recording index `end` (RecordBuffer::GetDataBefore).
    virtual uint32_t ChannelGetDataBefore(Handle /*handle*/, uint64_t /*end*/, void* /*buffer*/,
                                          uint32_t /*length*/) {
        return kDataFailed;
    }
    // The frame index the recording has reached at this moment (RecordBuffer::Now).
    virtual double RecordNow() { return static_cast<double>(RecordFrames()); }
    // Why the last failure happened, "" if the backend does not say.
    virtual const char* ErrorText() const { return ""; }
    // True once the output is gone for good (the sound server stopped, the card unplugged).
    virtual bool OutputLost() const { return false; }
    // Seconds since the frames the last sample read returned were the newest.
    virtual double RecordAge() const { return 0.0; }
    // How often a playback ran dry before its end (the server played silence in between).
    virtual uint64_t PlaybackGaps() const { return 0; }
    // A backend that keeps its own time (the virtual apparatus on its manual clock) returns
    // what advances it; the waits of the program then go to it (platform::Context::clock).
    virtual std::function<void(int64_t us)> ManualClock() { return {}; }
    // The recording for a capture: frames recorded since the recording started, and a copy of
    // those from `first` on (RecordBuffer::Copy).
    virtual uint64_t RecordFrames() const { return 0; }
    virtual uint32_t RecordCopy(uint64_t /*first*/, int16_t* /*out*/, uint32_t /*max*/,
                                int /*channel*/, uint64_t& lost) const {
        lost = 0;
        return 0;
    }
};

}  // namespace audio
