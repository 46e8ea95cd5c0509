// Picks the audio backend once at start-up.
#pragma once

#include <memory>

namespace audio {

class AudioBackend;

// The virtual apparatus on the real-time clock.
std::unique_ptr<AudioBackend> CreateVirtualBackend();
// The sound card through the sound server; its output initialisation fails without a server.
std::unique_ptr<AudioBackend> CreateSoundCardBackend();

}  // namespace audio
