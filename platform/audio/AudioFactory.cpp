// The backend factory.
#include "platform/audio/AudioFactory.h"

#include "platform/audio/PulseBackend.h"
#include "platform/audio/VirtualApparatus.h"

namespace audio {

std::unique_ptr<AudioBackend> CreateVirtualBackend() {
    return std::make_unique<VirtualApparatus>(VirtualApparatus::Clock::RealTime);
}

std::unique_ptr<AudioBackend> CreateSoundCardBackend() { return std::make_unique<PulseBackend>(); }

}  // namespace audio
