// The main window's spectrum files and its part of the session: Save and Open Spectrum, the
// fields and plot settings a session keeps, and the session's menu items.
#include <QCheckBox>
#include <QLineEdit>
#include <QSlider>

#include "measurement/Messages.h"
#include "measurement/ReadNumber.h"
#include "measurement/TextFiles.h"
#include "plot/Canvas.h"
#include "plot/Controls.h"
#include "plot/PictureExport.h"
#include "session/SessionKeeper.h"
#include "ui/main/LineThicknessDialog.h"
#include "ui/main/MainWindow.h"

namespace sonarix {
namespace {

constexpr const char* kTooManyFilePoints =
    "The file holds more than 20000 points: the first 20000 were read";

}  // namespace

void MainWindow::SaveSpectrumExecute() {
    const int slot = std::clamp(SpectrumSlotGroup->ItemIndex(), 0, kSlots - 1);
    const std::optional<std::string> name = ChooseSaveFile();
    if (!name) return;
    const int n = std::clamp(m_state.SpecCount[slot], 0, kSlotCapacity);
    const std::string lines =
        PairLines(m_state.SpecFreq[slot].data() + 1, m_state.SpecAmp[slot].data() + 1, n);
    if (SaveTextFile(*name, lines)) m_unsaved[static_cast<size_t>(slot)] = false;
}

void MainWindow::OpenSpectrumExecute() {
    const int slot = std::clamp(SpectrumSlotGroup->ItemIndex(), 0, kSlots - 1);
    const std::optional<std::string> name = ChooseOpenFile();
    if (!name) return;
    // Read into scratch: a file that fails leaves the slot as it was.
    std::vector<double> f(kSlotCapacity), a(kSlotCapacity);
    const PairRead r = ReadPairFile(*name, kSlotCapacity, f.data(), a.data());
    if (r.error != 0) {
        ShowIoError(r.error, *name, r.reason);
        return;
    }
    if (r.count == 0) {
        ShowMessage("\"" + *name +
                    "\" holds no points (lines of frequency and amplitude): Spectrum " +
                    std::to_string(slot + 1) + " was left as it was");
        return;
    }
    ChangeSlot(slot, "Open Spectrum", [&] {
        std::copy(f.begin(), f.begin() + r.count, m_state.SpecFreq[slot].begin() + 1);
        std::copy(a.begin(), a.begin() + r.count, m_state.SpecAmp[slot].begin() + 1);
        std::fill(m_state.SpecPhase[slot].begin() + 1,
                  m_state.SpecPhase[slot].begin() + 1 + r.count, 0.0);
        m_state.SpecCount[slot] = r.count;
        m_state.SpecPhased[slot] = false;
        ++m_state.SpecReplaced;
    });
    RedrawSpectra();
    if (r.truncated) ShowMessage(kTooManyFilePoints);
}

void MainWindow::OnStopClicked() { m_engine->Stop(); }

void MainWindow::ChangeSlot(int slot, const char* name, const std::function<void()>& action) {
    if (m_session != nullptr && slot >= 0 && slot < kSlots) {
        m_session->ChangeSlot(slot, name, action);
    } else {
        action();
    }
}

void MainWindow::UseSession(SessionKeeper* keeper) {
    m_session = keeper;
    m_engine->SetStoreEvents(keeper);
    if (keeper != nullptr) keeper->History().OnChange = [this] { RefreshUndo(); };
    EnableBetweenSweeps(m_idle);
}

void MainWindow::RefreshUndo() {
    static const UndoHistory none;
    const UndoHistory& h = m_session != nullptr ? m_session->History() : none;
    Undo->setEnabled(m_idle && h.CanUndo());
    Redo->setEnabled(m_idle && h.CanRedo());
    Undo->setText(WithFirstMnemonic(QString::fromStdString(h.UndoCaption())));
    Redo->setText(WithFirstMnemonic(QString::fromStdString(h.RedoCaption())));
}

WindowSettings MainWindow::SessionSettings() const {
    WindowSettings w;
    w.start = StartFrequencyEdit->text().toStdString();
    w.stop = StopFrequencyEdit->text().toStdString();
    w.step = StepEdit->text().toStdString();
    w.time = TimePerStepEdit->text().toStdString();
    w.currentSlot = std::clamp(SpectrumSlotGroup->ItemIndex(), 0, kSlots - 1);
    w.display = std::clamp(DisplayWidthGroup->ItemIndex(), 0, 3);
    w.fftFilter = FftFilterCheck->isChecked();
    w.lockIn = LockInCheck->isChecked();
    w.volume = VolumeSlider->value();
    w.font = m_canvas->Font().toString().toStdString();
    w.fontColor = m_canvas->FontColor;
    w.penWidth = m_canvas->PenWidth;
    const FastSettings fast = FastChoice();
    w.fastSpacing = fast.spacing;
    w.fastLength = fast.lengthFactor;
    return w;
}

void MainWindow::ApplySessionSettings(const WindowSettings& w) {
    StartFrequencyEdit->setText(QString::fromStdString(w.start));
    StopFrequencyEdit->setText(QString::fromStdString(w.stop));
    StepEdit->setText(QString::fromStdString(w.step));
    TimePerStepEdit->setText(QString::fromStdString(w.time));
    SpectrumSlotGroup->SetItemIndex(std::clamp(w.currentSlot, 0, kSlots - 1));
    DisplayWidthGroup->SetItemIndex(std::clamp(w.display, 0, 3));
    FftFilterCheck->setChecked(w.fftFilter);
    LockInCheck->setChecked(w.lockIn);
    VolumeSlider->setValue(std::clamp(w.volume, 0, 100));
    QFont font;
    if (!w.font.empty() && font.fromString(QString::fromStdString(w.font))) {
        if (ApplyFontChoice(*m_canvas, FontChoice{font, w.fontColor})) {
            m_state.MarginRight = m_canvas->TextWidth(QStringLiteral("20000.0")) / 2;
        }
    }
    m_canvas->PenWidth = std::clamp(w.penWidth, 1, 4);
    SetFastChoice(FastSettings{w.fastSpacing, w.fastLength});
    if (ThicknessDialog != nullptr)
        ThicknessDialog->ThicknessGroup->SetItemIndex(m_canvas->PenWidth - 1);
    ApplyDisplayWidth();
    RedrawSpectra();
}

void MainWindow::SaveSessionExecute() {
    if (m_session == nullptr) return;
    const std::optional<std::string> name = ChooseSessionSaveFile();
    if (name && m_session->SaveSession(*name)) m_unsaved.fill(false);
}

void MainWindow::OpenSessionExecute() {
    if (m_session == nullptr || !m_idle) return;
    const std::optional<std::string> name = ChooseSessionOpenFile();
    if (name) m_session->OpenSession(*name);
}

void MainWindow::RestoreLastSessionExecute() {
    if (m_session != nullptr && m_idle) m_session->RestoreLastSession();
}

void MainWindow::UndoExecute() {
    if (m_session != nullptr && m_idle) m_session->Undo();
}

void MainWindow::RedoExecute() {
    if (m_session != nullptr && m_idle) m_session->Redo();
}

}  // namespace sonarix
