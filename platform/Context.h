// What the program runs against: the sound backend, the clock its waits follow, the serial
// devices, the file layer's faults (for tests) and where messages and questions go. One context is
// in use at a time; a ContextScope puts one in place for its lifetime and the previous one back at
// its end, so nothing has to be reset afterwards.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace audio {
class AudioBackend;
}

namespace platform {

struct Context {
    // Every audio call forwards to it; without one every audio call fails.
    std::shared_ptr<audio::AudioBackend> backend;
    // The manual clock: receives every wait (microseconds) instead of the system's sleep.
    // Empty: real time. A backend with a manual clock (the virtual apparatus) brings its own.
    std::function<void(int64_t us)> clock;
    // Called before each write of the file layer with the bytes written so far; a non-zero
    // result is taken as the errno of a failed write (for example ENOSPC).
    std::function<int(size_t written)> writeFault;
    // Called before a temporary file is created; a non-zero result is the errno of a failed
    // creation (EACCES, EROFS), which root, not bound by permissions, cannot otherwise meet.
    std::function<int()> createFault;
    // The device path of serial port COMn, "" if there is none. Empty: the system's devices;
    // tests map COM numbers to pseudo-terminals.
    std::function<std::string(int comNumber)> portDevice;
    // Shows a message (a modal box in the program). Empty: standard error.
    std::function<void(const std::string& text)> tell;
    // Asks a yes/no question; true for yes. Empty: standard error, and the answer is no.
    std::function<bool(const std::string& text)> ask;
};

// The context in use: the innermost living scope's, or an empty one.
Context& CurrentContext();

class ContextScope {
public:
    // Puts `context` in place; a backend with a manual clock brings it unless one is given.
    explicit ContextScope(Context context);
    // The context in use with the backend (and its clock) replaced; the rest stays.
    explicit ContextScope(std::unique_ptr<audio::AudioBackend> backend);
    // The context in use with `change` applied, e.g. a write fault or a message recorder.
    explicit ContextScope(const std::function<void(Context&)>& change);
    // Puts the context back that was in use before; a scope that ends out of order leaves
    // the ones after it in place.
    ~ContextScope();
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

    Context& Get() { return m_context; }

private:
    void Enter();

    Context m_context;
    ContextScope* m_outer = nullptr;
};

}  // namespace platform
