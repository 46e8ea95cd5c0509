// Undo and redo: a bounded list of steps, each knowing how to go back and forth. At most
// kMostSteps steps and kMostBytes of kept data; the oldest steps go first (one full spectrum
// slot before and after is under 1 MB, so well over 20 such steps always fit).
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

namespace sonarix {

class UndoHistory {
public:
    static constexpr size_t kMostSteps = 100;
    static constexpr size_t kMostBytes = 64u << 20;

    struct Step {
        std::string name;  // "Measure", "Clear Spectrum", ...: shown as "Undo Measure"
        size_t bytes = 0;  // what its undo and redo keep
        std::function<void()> undo, redo;
        // Steps with the same non-empty key in a row become one (a drag of the phase bar).
        std::string merge;
    };

    explicit UndoHistory(size_t mostSteps = kMostSteps, size_t mostBytes = kMostBytes)
        : m_mostSteps(mostSteps), m_mostBytes(mostBytes) {}

    // A step that has been done: the steps undone before it are gone.
    void Push(Step step);
    bool CanUndo() const { return m_done > 0; }
    bool CanRedo() const { return m_done < m_steps.size(); }
    std::string UndoName() const { return CanUndo() ? m_steps[m_done - 1].name : std::string(); }
    std::string RedoName() const { return CanRedo() ? m_steps[m_done].name : std::string(); }
    // What the Edit menu shows: "Undo Measure", or "Undo" when there is nothing to undo.
    std::string UndoCaption() const { return CanUndo() ? "Undo " + UndoName() : "Undo"; }
    std::string RedoCaption() const { return CanRedo() ? "Redo " + RedoName() : "Redo"; }
    bool Undo();
    bool Redo();
    void Clear();
    size_t Steps() const { return m_steps.size(); }
    size_t Bytes() const { return m_bytes; }

    // Called after every change of the list (the menus show what undo and redo would do).
    std::function<void()> OnChange;

private:
    void Changed() {
        if (OnChange) OnChange();
    }

    std::deque<Step> m_steps;
    size_t m_done = 0;  // steps 0 ... m_done - 1 are done
    size_t m_bytes = 0;
    size_t m_mostSteps, m_mostBytes;
};

}  // namespace sonarix
