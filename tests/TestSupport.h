// Helpers shared by the tests: the message recorder.
#pragma once

#include <string>
#include <vector>

namespace sonarix::test {

// Records every ShowMessage while it lives, instead of showing it.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    const std::vector<std::string>& Messages() const { return m_messages; }
    void Clear() { m_messages.clear(); }

private:
    std::vector<std::string> m_messages;
};

}  // namespace sonarix::test
