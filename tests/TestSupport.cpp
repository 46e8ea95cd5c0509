// The message recorder.
#include "tests/TestSupport.h"

#include "measurement/Messages.h"

namespace sonarix::test {

MessageRecorder::MessageRecorder() {
    SetMessageSink([this](const std::string& text) { m_messages.push_back(text); });
}

MessageRecorder::~MessageRecorder() { SetMessageSink({}); }

}  // namespace sonarix::test
