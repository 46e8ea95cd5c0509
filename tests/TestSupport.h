// Helpers shared by the tests: the message recorder and readable names of parameterised cases.
#pragma once

#include <QImage>
#include <QRect>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Context.h"

namespace sonarix::test {

// Records every ShowMessage while it lives, instead of showing it (a context scope).
class MessageRecorder {
public:
    MessageRecorder();
    const std::vector<std::string>& Messages() const { return *m_messages; }
    void Clear() { m_messages->clear(); }

private:
    // Shared with the context's `tell`, which a scope begun meanwhile copies.
    std::shared_ptr<std::vector<std::string>> m_messages =
        std::make_shared<std::vector<std::string>>();
    platform::ContextScope m_scope;
};

// The first line of a message (the runtime's text of a file error box).
std::string FirstLine(const std::string& text);

// A stable, readable GoogleTest case name: the case's index, then the text with every
// character that is not a letter or digit spelled out ("1,5" -> "03_1comma5").
std::string CaseName(size_t index, std::string_view text);
// The same for a number: its shortest decimal text.
std::string CaseName(size_t index, double value);

// The bounding box of the pixels that are not nearly white (a channel below 200): where a
// picture has its ink.
QRect InkBounds(const QImage& image);

// The C locale `name` for as long as this lives (Active() tells whether it could be set); the
// previous one comes back after.
class LocaleScope {
public:
    explicit LocaleScope(const char* name);
    ~LocaleScope();
    LocaleScope(const LocaleScope&) = delete;
    LocaleScope& operator=(const LocaleScope&) = delete;
    bool Active() const { return m_active; }

private:
    std::string m_saved;
    bool m_active = false;
};

}  // namespace sonarix::test
