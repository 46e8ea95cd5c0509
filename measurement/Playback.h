// Playing the test signal, the output volume, and the continuous recording.
#pragma once

#include <cstdint>
#include <string>

#include "measurement/SharedState.h"

namespace sonarix {

inline constexpr const char* kCannotStartRecordingDevice = "Cannot start default recording device";
inline constexpr const char* kCannotStartRecording = "Cannot start recording!";

// Plays WavImage from its first sample: a new stream over the image (kept in PlayStream),
// OutVolume from the volume track bar position, attributes 44100 / OutVolume / pan unchanged.
void StartPlayback(SharedState& s, int trackBarPosition);

// The volume track bar moved: OutVolume := position, applied to PlayStream at once.
void ChangeVolume(SharedState& s, int trackBarPosition);

// True while PlayStream is playing.
bool Playing(const SharedState& s);

// The recording callback: accepts every block and touches nothing (recording thread).
bool RecordProc(uint32_t handle, const void* buffer, uint32_t length, void* user);

// Starts recording at 44100 Hz in mono or stereo into RecChannel; false (RecChannel 0) when
// that fails, for the caller to say kCannotStartRecording.
bool StartRecording(SharedState& s);

// First half of the mono/stereo restart: stops RecChannel and releases the recording device.
void StopRecording(SharedState& s);

// Second half, after the dialog: takes its choices, initialises the recording device again and
// starts recording. Returns false when the device cannot be initialised: the library is then
// released and the program must end. `message` says what failed (kCannotStartRecordingDevice,
// or kCannotStartRecording when only the recording did not start), for the caller to show.
bool RestartRecording(SharedState& s, bool stereo, bool left, std::string& message);

}  // namespace sonarix
