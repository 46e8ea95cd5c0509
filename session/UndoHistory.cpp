// The undo history.
#include "session/UndoHistory.h"

#include <utility>

namespace sonarix {

void UndoHistory::Push(Step step) {
    while (m_steps.size() > m_done) {
        m_bytes -= m_steps.back().bytes;
        m_steps.pop_back();
    }
    if (!step.merge.empty() && !m_steps.empty() && m_steps.back().merge == step.merge) {
        // The earlier step's undo still leads back to before the first of the row.
        Step& top = m_steps.back();
        m_bytes = m_bytes - top.bytes + step.bytes;
        top.redo = std::move(step.redo);
        top.bytes = step.bytes;
        Changed();
        return;
    }
    m_bytes += step.bytes;
    m_steps.push_back(std::move(step));
    m_done = m_steps.size();
    while (m_steps.size() > 1 && (m_steps.size() > m_mostSteps || m_bytes > m_mostBytes)) {
        m_bytes -= m_steps.front().bytes;
        m_steps.pop_front();
        --m_done;
    }
    Changed();
}

bool UndoHistory::Undo() {
    if (!CanUndo()) return false;
    --m_done;
    m_steps[m_done].undo();
    Changed();
    return true;
}

bool UndoHistory::Redo() {
    if (!CanRedo()) return false;
    m_steps[m_done].redo();
    ++m_done;
    Changed();
    return true;
}

void UndoHistory::Clear() {
    m_steps.clear();
    m_done = 0;
    m_bytes = 0;
    Changed();
}

}  // namespace sonarix
