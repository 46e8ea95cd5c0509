// The message functions, which go where the context in use says.
#include "measurement/Messages.h"

#include <cctype>
#include <cstdio>

#include "measurement/Notice.h"
#include "platform/Context.h"

namespace sonarix {
namespace {
const MessageSink& Sink() { return platform::CurrentContext().tell; }

// The runtime's error box appends a full stop to a text that ends in a letter or digit.
std::string WithFullStop(std::string text) {
    if (!text.empty() && std::isalnum(static_cast<unsigned char>(text.back()))) text += '.';
    return text;
}
}  // namespace

void ShowMessage(const std::string& text) {
    if (Sink()) {
        Sink()(text);
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
}

std::string IoErrorText(int code) {
    switch (code) {
        case 2:
            return "Datei nicht gefunden";
        case 3:
            return "Ungültiger Dateiname";
        case 5:
            return "Dateizugriff verweigert";
        case 101:
            return "Zu wenig Speicherplatz";
        case 106:
            return "Ungültige numerische Eingabe";
        default:
            return "E/A-Fehler " + std::to_string(code);
    }
}

void ShowRuntimeError(const std::string& text) { ShowMessage(WithFullStop(text)); }

void ShowIoError(int code) { ShowRuntimeError(IoErrorText(code)); }

std::string IoErrorMessage(int code, const std::string& file, const std::string& reason) {
    std::string text = WithFullStop(IoErrorText(code)) + "\nFile \"" + file + "\"";
    if (!reason.empty()) text += ": " + reason;
    return text + ".";
}

void ShowIoError(int code, const std::string& file, const std::string& reason) {
    ShowMessage(IoErrorMessage(code, file, reason));
}

namespace {
const QuestionSink& Answerer() { return platform::CurrentContext().ask; }
}  // namespace

bool AskQuestion(const std::string& text) {
    if (Answerer()) return Answerer()(text);
    std::fprintf(stderr, "%s (no)\n", text.c_str());
    return false;
}

void Tell(Notices* out, Notice::Reason reason, const std::string& text) {
    if (out != nullptr) {
        out->push_back({reason, text});
    } else {
        ShowMessage(text);
    }
}

}  // namespace sonarix
