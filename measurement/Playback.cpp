// Playback, volume and recording.
#include "measurement/Playback.h"

#include "physics/SampleRate.h"
#include "platform/audio/Audio.h"

namespace sonarix {

void StartPlayback(SharedState& s, int trackBarPosition) {
    s.PlayStream = audio::StreamCreateFile(true, s.WavImage.Data(), 0, s.WavImage.Size(), 0);
    s.OutVolume = trackBarPosition;
    audio::ChannelSetAttributes(s.PlayStream, kSampleRate, s.OutVolume, -101);
    audio::ChannelPlay(s.PlayStream, true);
}

void ChangeVolume(SharedState& s, int trackBarPosition) {
    s.OutVolume = trackBarPosition;
    audio::ChannelSetAttributes(s.PlayStream, kSampleRate, s.OutVolume, -101);
}

bool Playing(const SharedState& s) { return audio::ChannelIsActive(s.PlayStream) == 1; }

bool RecordProc(uint32_t /*handle*/, const void* /*buffer*/, uint32_t /*length*/, void* /*user*/) {
    return true;
}

bool StartRecording(SharedState& s) {
    s.RecChannel = audio::RecordStart(kSampleRate, s.StereoInput ? 2 : 1, 0, &RecordProc, nullptr);
    return s.RecChannel != 0;
}

void StopRecording(SharedState& s) {
    audio::ChannelStop(s.RecChannel);
    audio::RecordFree();
}

bool RestartRecording(SharedState& s, bool stereo, bool left, std::string& message) {
    message.clear();
    s.LeftChannel = left;
    s.StereoInput = stereo;
    if (!audio::RecordInit(-1)) {
        audio::RecordFree();
        audio::Free();
        message = kCannotStartRecordingDevice;
        return false;
    }
    if (!StartRecording(s)) message = kCannotStartRecording;
    return true;
}

}  // namespace sonarix
