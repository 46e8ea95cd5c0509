// The message recorder and the case names.
#include "tests/TestSupport.h"

#include <clocale>
#include <cstdio>

#include "platform/Context.h"

namespace sonarix::test {

MessageRecorder::MessageRecorder()
    : m_scope([messages = m_messages](platform::Context& c) {
          c.tell = [messages](const std::string& text) { messages->push_back(text); };
      }) {}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string CaseName(size_t index, std::string_view text) {
    char number[16];
    std::snprintf(number, sizeof number, "%02zu", index);
    std::string name = number;
    if (!text.empty()) name += '_';
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            name += static_cast<char>(c);
            continue;
        }
        switch (c) {
            case ' ':
                name += "blank";
                break;
            case '\t':
                name += "tab";
                break;
            case '\r':
                name += "cr";
                break;
            case ',':
                name += "comma";
                break;
            case '.':
                name += "point";
                break;
            case '+':
                name += "plus";
                break;
            case '-':
                name += "minus";
                break;
            case ':':
                name += "colon";
                break;
            default:
                name += "x";
                break;
        }
    }
    return name;
}

std::string CaseName(size_t index, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return CaseName(index, text);
}

LocaleScope::LocaleScope(const char* name) {
    const char* before = std::setlocale(LC_ALL, nullptr);
    m_saved = before != nullptr ? before : "C";
    m_active = std::setlocale(LC_ALL, name) != nullptr;
}

LocaleScope::~LocaleScope() { std::setlocale(LC_ALL, m_saved.c_str()); }

QRect InkBounds(const QImage& image) {
    QRect box;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y) {
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb c = rgb.pixel(x, y);
            if (qRed(c) < 200 || qGreen(c) < 200 || qBlue(c) < 200) box |= QRect(x, y, 1, 1);
        }
    }
    return box;
}

}  // namespace sonarix::test
