// The program's modal messages: every message box goes through ShowMessage, the runtime's I/O
// error box through ShowIoError. Both go to the context's `tell` (platform/Context.h), which
// the program sets to its message box and a test to a recorder.
#pragma once

#include <functional>
#include <string>

namespace sonarix {

using MessageSink = std::function<void(const std::string& text)>;

// Shows text in a modal message box (the context's `tell`; without one, standard error).
void ShowMessage(const std::string& text);
// Shows the runtime's text for an I/O error code, with the full stop the error box appends.
void ShowIoError(int code);
// The same, with a second line that names the file and gives the reason in plain English:
// "Dateizugriff verweigert." / "File "/home/a/x.dat": Permission denied."
void ShowIoError(int code, const std::string& file, const std::string& reason);
std::string IoErrorMessage(int code, const std::string& file, const std::string& reason);
// The runtime's standard error box for any text: a full stop is appended when the text ends
// in a letter or digit.
void ShowRuntimeError(const std::string& text);
// The runtime's text for an I/O error code, without the full stop.
std::string IoErrorText(int code);

// Asks a yes/no question in a modal box (the context's `ask`); true for yes. Without one the
// question goes to standard error and the answer is no.
bool AskQuestion(const std::string& text);
using QuestionSink = std::function<bool(const std::string& text)>;

}  // namespace sonarix
