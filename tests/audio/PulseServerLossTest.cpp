// Losing the sound server while the program plays and records: nothing hangs or crashes, the
// playback reports inactive, recorded data stays readable, and a later tone ends in order.
// Run under scripts/with-sound-server, which names the daemon in SONARIX_SOUND_SERVER_PID.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "measurement/Playback.h"
#include "measurement/TestSignals.h"
#include "platform/audio/Audio.h"
#include "platform/audio/AudioBackend.h"
#include "platform/audio/PulseBackend.h"
#include "tests/TestSupport.h"

namespace sonarix {
namespace {

using namespace std::chrono_literals;

// Aborts the test program if a call hangs.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : m_thread([this, limit] {
              const auto end = std::chrono::steady_clock::now() + limit;
              while (!m_done.load()) {
                  if (std::chrono::steady_clock::now() > end) {
                      std::fprintf(stderr, "hang after the server was lost\n");
                      std::abort();
                  }
                  std::this_thread::sleep_for(10ms);
              }
          }) {}
    ~Watchdog() {
        m_done = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

TEST(PulseServerLoss, PlaybackEndsInOrderAndNothingHangs) {
    const char* pid = std::getenv("SONARIX_SOUND_SERVER_PID");
    ASSERT_NE(pid, nullptr) << "run under scripts/with-sound-server";
    audio::UseBackend(std::make_unique<audio::PulseBackend>());
    auto* backend = static_cast<audio::PulseBackend*>(audio::CurrentBackend());
    ASSERT_TRUE(audio::Init(-1, 44100, 0, nullptr, nullptr));
    ASSERT_TRUE(audio::RecordInit(-1));
    auto s = std::make_unique<SharedState>();
    test::MessageRecorder messages;
    StartRecording(*s);
    ASSERT_NE(s->RecChannel, 0u);
    ASSERT_TRUE(MakeSweepWav(*s, "100", "10000", "10", "50"));
    StartPlayback(*s, 50);
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(Playing(*s));
    std::vector<int16_t> before(1024);
    ASSERT_EQ(audio::ChannelGetData(s->RecChannel, before.data(), 2048), 2048u);

    Watchdog watchdog(20s);
    ASSERT_EQ(kill(std::atoi(pid), SIGKILL), 0);
    const auto t0 = std::chrono::steady_clock::now();
    while (Playing(*s) && std::chrono::steady_clock::now() - t0 < 5s) {
        audio::ChannelGetPosition(s->PlayStream);
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_FALSE(Playing(*s));
    EXPECT_TRUE(backend->ServerLost());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_NE(audio::ChannelGetPosition(s->PlayStream), audio::kPositionFailed);
    // The recording keeps what it had.
    std::vector<int16_t> after(1024);
    EXPECT_EQ(audio::ChannelGetData(s->RecChannel, after.data(), 2048), 2048u);
    std::vector<float> fft(2048);
    EXPECT_NE(audio::ChannelGetData(s->RecChannel, fft.data(), 0x80000011), audio::kDataFailed);
    // A later tone: no stream, so it is over at once; the volume and stop calls fail quietly.
    s->CurrentFreq = 440.0;
    ASSERT_TRUE(MakeToneWav(*s, 1.0));
    StartPlayback(*s, 50);
    EXPECT_EQ(s->PlayStream, 0u);
    EXPECT_FALSE(Playing(*s));
    ChangeVolume(*s, 20);
    EXPECT_FALSE(audio::ChannelStop(s->PlayStream));
    EXPECT_EQ(audio::RecordGetInput(0), audio::kInputFailed);
    EXPECT_EQ(audio::RecordStart(44100, 1, 0, nullptr, nullptr), 0u);
    EXPECT_TRUE(messages.Messages().empty());
    audio::UseBackend(nullptr);  // releases everything, also without a server
}

}  // namespace
}  // namespace sonarix
