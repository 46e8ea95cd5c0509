// The program's modal messages: every message box goes through ShowMessage, the runtime's I/O
// error box through ShowIoError. Both can be redirected, so tests record instead of showing.
#pragma once

#include <functional>
#include <string>

namespace sonarix {

using MessageSink = std::function<void(const std::string& text)>;

// Shows text in a modal message box (or hands it to the installed sink). GUI thread.
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

// Asks a yes/no question in a modal box (or of the installed answerer); true for yes. Without
// an answerer the question goes to standard error and the answer is no.
bool AskQuestion(const std::string& text);
using QuestionSink = std::function<bool(const std::string& text)>;
void SetQuestionSink(QuestionSink sink);

// Installs the sink for ShowMessage and ShowIoError; an empty function restores the default,
// which writes to standard error. The window layer installs the message box at start-up.
void SetMessageSink(MessageSink sink);

}  // namespace sonarix
