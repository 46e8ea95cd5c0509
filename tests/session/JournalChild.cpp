// Not a test: the program on the virtual apparatus's manual clock with its journal in the
// folder argv[1]; it opens the spectrum file argv[2] into slot 2, sets the angle values, then
// sweeps into slot 1 and writes the index of every point to standard output once the journal
// has it. The journal test kills it at random moments.
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <cstdio>
#include <optional>
#include <string>

#include "app/Program.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "plot/Controls.h"
#include "session/SessionKeeper.h"
#include "ui/main/MainWindow.h"
#include "ui/wave/WaveFunctionWindow.h"

namespace {

// Tells the parent of each point after the keeper has put it into the journal.
class Reporter : public sonarix::StoreEvents {
public:
    explicit Reporter(sonarix::StoreEvents& keeper) : m_keeper(keeper) {}
    void SweepBegins(int slot) override { m_keeper.SweepBegins(slot); }
    void PointStored(int slot, int index) override {
        m_keeper.PointStored(slot, index);
        const std::string line = std::to_string(index) + "\n";
        if (write(1, line.data(), line.size()) < 0) _exit(3);
    }
    void SweepEnded(int slot) override { m_keeper.SweepEnded(slot); }

private:
    sonarix::StoreEvents& m_keeper;
};

}  // namespace

int main(int argc, char** argv) {
    using namespace sonarix;
    if (argc != 3) return 2;
    QApplication app(argc, argv);
    const platform::ContextScope context(
        std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::Manual));
    int rc = 1;
    {
        Program p;
        if (StartUp(p)) {
            CreateRemainingWindows(p);
            StartJournal(p, argv[1]);
            MainWindow& f = *p.mainWindow;
            const std::string file = argv[2];
            f.SpectrumSlotGroup->SetItemIndex(2);
            f.ChooseOpenFile = [&] { return std::optional<std::string>(file); };
            f.OpenSpectrumExecute();
            p.session->ChangeWave("set", [&] {
                for (int i = 0; i < kAngles; ++i) p.waveWindow->WaveAmplitude[i] = 0.5 * i;
            });
            f.SpectrumSlotGroup->SetItemIndex(1);
            f.TimePerStepEdit->setText("10");
            Reporter reporter(*p.session);
            f.Engine().SetStoreEvents(&reporter);
            f.OnMeasureClicked();
            while (f.Engine().Running()) {
                QCoreApplication::processEvents(QEventLoop::AllEvents |
                                                QEventLoop::WaitForMoreEvents);
            }
            if (write(1, "end\n", 4) < 0) return 3;
            ShutDown(p);
            rc = 0;
        }
    }
    return rc;
}
