// The chain of context scopes.
#include "platform/Context.h"

#include "platform/audio/AudioBackend.h"

namespace platform {
namespace {
ContextScope* g_innermost = nullptr;

Context& Empty() {
    static Context none;
    return none;
}

void TakeClock(Context& c) {
    if (!c.clock && c.backend) c.clock = c.backend->ManualClock();
}
}  // namespace

Context& CurrentContext() { return g_innermost != nullptr ? g_innermost->Get() : Empty(); }

ContextScope::ContextScope(Context context) : m_context(std::move(context)) {
    TakeClock(m_context);
    Enter();
}

ContextScope::ContextScope(std::unique_ptr<audio::AudioBackend> backend)
    : m_context(CurrentContext()) {
    m_context.backend = std::move(backend);
    m_context.clock = {};
    TakeClock(m_context);
    Enter();
}

ContextScope::ContextScope(const std::function<void(Context&)>& change)
    : m_context(CurrentContext()) {
    change(m_context);
    Enter();
}

void ContextScope::Enter() {
    m_outer = g_innermost;
    g_innermost = this;
}

ContextScope::~ContextScope() {
    if (g_innermost == this) {
        g_innermost = m_outer;
    } else {
        for (ContextScope* s = g_innermost; s != nullptr; s = s->m_outer) {
            if (s->m_outer == this) {
                s->m_outer = m_outer;
                break;
            }
        }
    }
    // The backend goes with the last scope that holds it, its clock before it.
    m_context.clock = {};
    m_context.backend.reset();
}

}  // namespace platform
