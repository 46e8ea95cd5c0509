// The backend factory.
#include "platform/audio/AudioFactory.h"

#include "platform/audio/PulseBackend.h"
#include "platform/audio/VirtualApparatus.h"

namespace audio {

std::unique_ptr<AudioBackend> CreateVirtualBackend() {
    // The physical sphere (its window changes it); the tests make their own apparatus.
    auto apparatus = std::make_unique<VirtualApparatus>(VirtualApparatus::Clock::RealTime);
    apparatus->SetSphere(physics::SphereSetup{});
    return apparatus;
}

std::unique_ptr<AudioBackend> CreateSoundCardBackend() { return std::make_unique<PulseBackend>(); }

}  // namespace audio
