// The virtual apparatus on the manual clock put in place as the audio backend of a context
// scope, with the output and the recording started for a shared state, as the measurement tests
// need it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "measurement/Playback.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"

namespace sonarix::test {

// Call with ASSERT_NO_FATAL_FAILURE. `context` ends a scope it held before and holds the new
// one. The recording runs `warmUpMs` before it returns.
inline void InstallApparatus(
    std::optional<platform::ContextScope>& context, SharedState& s,
    audio::VirtualApparatus*& apparatus,
    physics::ResonatorModel model = physics::ResonatorModel::DefaultSphere(), bool stereo = false,
    bool left = true, int warmUpMs = 1000) {
    context.reset();
    auto b = std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::Manual,
                                                       std::move(model));
    apparatus = b.get();
    context.emplace(std::move(b));
    ASSERT_TRUE(audio::Init(-1, 44100, 0, nullptr, nullptr));
    ASSERT_TRUE(audio::RecordInit(-1));
    s.StereoInput = stereo;
    s.LeftChannel = left;
    StartRecording(s);
    ASSERT_NE(s.RecChannel, 0u);
    apparatus->AdvanceMs(warmUpMs);
}

}  // namespace sonarix::test
