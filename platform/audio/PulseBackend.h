// The sound card through the sound server: an audio backend on libpulse's threaded main loop.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/audio/AudioBackend.h"
#include "platform/audio/RecordBuffer.h"

struct pa_context;
struct pa_operation;
struct pa_stream;
struct pa_threaded_mainloop;

namespace audio {

// Every AudioBackend method is called on the GUI thread and takes the main loop's lock for the
// duration of the call. The libpulse callbacks run on the main loop's thread with that lock
// held; they allocate nothing, never wait, and touch only the stream being served, the
// recording buffer and the query snapshot. Losing the server makes every playback inactive
// and further streams fail; recorded data stays readable.
class PulseBackend : public AudioBackend {
public:
    PulseBackend();
    ~PulseBackend() override;

    bool Init(int device, uint32_t freq, uint32_t flags) override;
    void Free() override;
    bool RecordInit(int device) override;
    void RecordFree() override;
    const char* RecordGetInputName(int input) override;
    uint32_t RecordGetInput(int input) override;
    bool RecordSetInput(int input, uint32_t setting) override;
    Handle RecordStart(uint32_t freq, uint32_t chans, uint32_t flags, RecordProc proc,
                       void* user) override;
    Handle StreamCreateFile(bool mem, const void* file, uint64_t offset, uint64_t length,
                            uint32_t flags) override;
    bool ChannelSetAttributes(Handle handle, int freq, int volume, int pan) override;
    bool ChannelPlay(Handle handle, bool restart) override;
    uint32_t ChannelIsActive(Handle handle) override;
    uint64_t ChannelGetPosition(Handle handle) override;
    bool ChannelSetPosition(Handle handle, uint64_t pos) override;
    bool ChannelStop(Handle handle) override;
    uint32_t ChannelGetData(Handle handle, void* buffer, uint32_t length) override;

    // libpulse's reason for the last failed Init (pa_strerror), "" after a successful one.
    const char* ErrorText() const override { return m_error.data(); }

    // True once the connection to the server has been lost.
    bool ServerLost() const { return m_lost.load(); }
    bool OutputLost() const override { return ServerLost(); }
    double RecordAge() const override { return m_record.Age(); }
    double RecordNow() override { return m_record.Now(); }
    uint32_t ChannelGetDataBefore(Handle handle, uint64_t end, void* buffer,
                                  uint32_t length) override;
    uint64_t PlaybackGaps() const override { return m_playbackGaps.load(); }
    uint64_t RecordFrames() const override { return m_record.Written(); }
    uint32_t RecordCopy(uint64_t first, int16_t* out, uint32_t max, int channel,
                        uint64_t& lost) const override {
        return m_record.Copy(first, out, max, channel, lost);
    }

    // What a source query copies out of its callback, into fixed storage.
    struct Port {
        std::array<char, 128> name{};
        std::array<char, 128> description{};
        uint32_t type = 0;
    };
    struct SourceSnapshot {
        bool found = false;
        std::array<char, 256> name{};
        std::array<char, 128> description{};
        std::array<char, 128> activePort{};
        uint32_t volume = 0;  // average over the channels, PA_VOLUME_NORM = 100 %
        uint8_t channels = 0;
        int portCount = 0;
        std::array<Port, 16> ports{};
    };

    // Playback stream state, shared with its callbacks.
    struct Stream;

private:
    class Lock;
    bool Ready() const;
    bool Wait(pa_operation* op);
    bool QuerySource(SourceSnapshot& out);
    void Disconnect(pa_stream*& s);
    bool Connect(Stream& st);
    bool StreamSamples(Stream& st, double& samples);
    uint64_t Position(Stream& st);
    void ApplyVolume(Stream& st);
    Stream* Find(Handle h);
    void KeepError(const char* what);

    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    std::atomic<bool> m_lost{false};
    std::atomic<uint64_t> m_playbackGaps{0};
    std::array<char, 256> m_error{};
    Handle m_nextHandle = 0x2001;
    std::map<Handle, std::unique_ptr<Stream>> m_streams;

    // Recording.
    bool m_recordInit = false;
    pa_stream* m_rec = nullptr;
    Handle m_recHandle = 0;
    RecordProc m_proc = nullptr;
    void* m_user = nullptr;
    int m_recChannels = 1;         // what the callers get
    int m_captureChannels = 1;     // what the stream delivers (the source's own, 1 or 2)
    std::vector<int16_t> m_mixed;  // a stereo capture averaged to mono
    RecordBuffer m_record;

    // The inputs: the ports of the default source, listed at RecordInit.
    SourceSnapshot m_source;
    SourceSnapshot m_query;  // written by the query callbacks

    friend struct PulseCallbacks;
};

// The input kind word for a libpulse port type.
uint32_t InputKindOfPortType(uint32_t portType);

// The state word of input `input` of the ports listed at RecordInit, given the source as it is
// now: kind, the "off" bit unless it is the active port, and the volume in percent (at most
// 100). A source without ports is one input.
uint32_t InputStateWord(const PulseBackend::SourceSnapshot& listed,
                        const PulseBackend::SourceSnapshot& now, int input);

}  // namespace audio
