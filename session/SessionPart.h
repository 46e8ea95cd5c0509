// One saved item of a lab session. The session file, the crash journal and the undo history
// handle every registered part alike: a new saved item is one class that implements this
// interface and is registered with the session keeper (CONTRIBUTING.md, "Adding a saved
// item"). The measured data (the spectrum slots and the angle values with their spectra) are
// kept by the keeper itself: they go to the journal point by point and are shared between
// undo steps, which a part's JSON value could not do without copying megabytes per change.
#pragma once

#include <QJsonObject>
#include <functional>
#include <string>

namespace sonarix {

class SessionPart {
public:
    SessionPart() = default;
    SessionPart(const SessionPart&) = delete;
    SessionPart& operator=(const SessionPart&) = delete;
    virtual ~SessionPart();

    // Its key in the session file's top object and in the journal's records: unique, letters
    // and digits only.
    virtual std::string Key() const = 0;
    // Its value now.
    virtual QJsonObject Save() const = 0;
    // Takes its value from `saved`, written in session format `version`; fields a file of an
    // earlier version lacks take their defaults. When it cannot, false with the reason (naming
    // the field) and the value unchanged.
    virtual bool Restore(const QJsonObject& saved, int version, std::string& reason) = 0;

    // Called by the part after a user's action changed its value: the journal gets the new
    // value, and with a name the change becomes an undo step ("Undo <name>"). With `merge`,
    // changes of the same name in a row become one step (the drag of a slider).
    void Changed(const std::string& undoName = {}, bool merge = false) {
        if (m_changed) m_changed(*this, undoName, merge);
    }

private:
    friend class SessionKeeper;
    std::function<void(SessionPart&, const std::string&, bool)> m_changed;
    std::function<void(SessionPart&)> m_leaving;  // tells the keeper the part is gone
};

// A part whose value is a plain struct held elsewhere (a window's fields), read and written
// through two functions; T has JSON overloads ToJson(const T&) and FromJson(QJsonObject, T&,
// reason) that find it by argument lookup.
template <typename T>
class ValuePart final : public SessionPart {
public:
    ValuePart(std::string key, std::function<T()> read, std::function<void(const T&)> write)
        : m_key(std::move(key)), m_read(std::move(read)), m_write(std::move(write)) {}

    std::string Key() const override { return m_key; }
    QJsonObject Save() const override { return ToJson(m_read()); }
    bool Restore(const QJsonObject& saved, int /*version*/, std::string& reason) override {
        T value{};  // what the file leaves out keeps its default
        if (!FromJson(saved, value, reason)) return false;
        m_write(value);
        return true;
    }

private:
    std::string m_key;
    std::function<T()> m_read;
    std::function<void(const T&)> m_write;
};

}  // namespace sonarix
