// The session file: the whole SessionData as one JSON document (docs/session-format.md),
// written safely like the spectrum files and read back to the bit.
#pragma once

#include <QJsonObject>
#include <memory>
#include <string>

#include "session/SessionData.h"

namespace sonarix {

inline constexpr const char* kSessionFormat = "sonarix-session";
inline constexpr int kSessionVersion = 1;
// Larger files are refused before they are read (a full session is about 6 MB).
inline constexpr long long kSessionFileLimit = 256LL << 20;

// The document; compact puts it on one line (the journal's records).
std::string SessionJson(const SessionData& data, bool compact);
// Parses a document into `out`; false with the reason in plain English, `out` unchanged.
bool ParseSession(const std::string& text, SessionData& out, std::string& reason);

// The slots on their own, for the journal's records.
std::string SlotJson(const SlotContent& slot);
bool ParseSlot(const std::string& text, SlotContent& out, std::string& reason);

// The values of the parts that every version 1 file holds, in JSON; reading fails with a
// reason that names the part and the field, `out` unchanged.
QJsonObject ToJson(const WindowSettings& settings);  // "settings"
bool FromJson(const QJsonObject& o, WindowSettings& out, std::string& reason);
QJsonObject ToJson(const LatencyCalibration& latency);  // "latency"
bool FromJson(const QJsonObject& o, LatencyCalibration& out, std::string& reason);
QJsonObject ToJson(const FitSession& fit);  // "fit"
bool FromJson(const QJsonObject& o, FitSession& out, std::string& reason);
// A part's value as the session data and the journal hold it, on one line, and back.
std::string CompactJson(const QJsonObject& o);
bool ParseObject(const std::string& text, QJsonObject& o, std::string& reason);
// A part's value in the data as T; false when the data lacks it or it does not read.
template <typename T>
bool PartValue(const SessionData& d, const std::string& key, T& out) {
    const auto it = d.parts.find(key);
    QJsonObject o;
    std::string reason;
    return it != d.parts.end() && ParseObject(it->second, o, reason) && FromJson(o, out, reason);
}
template <typename T>
void SetPart(SessionData& d, const std::string& key, const T& value) {
    d.parts[key] = CompactJson(ToJson(value));
}

std::string WaveJson(const WaveState& wave);
bool ParseWave(const std::string& text, WaveState& out, std::string& reason);
// One angle's spectrum of the series (the journal's A record): "<angle 0 ... 18> <slot
// object or null>".
std::string AngleSpectrumJson(int angle, const std::shared_ptr<const FastSpectrum>& spectrum);
bool ParseAngleSpectrum(const std::string& text, WaveState& out, std::string& reason);

// The whole of a regular file, refused when larger than `limit` bytes. False with the reason.
bool ReadWholeFile(const std::string& path, long long limit, std::string& text,
                   std::string& reason);

// Writes the file (temporary file, flushed, renamed over the target); 0 or the I/O error
// code, with the system's reason in `reason`.
int WriteSessionFile(const std::string& path, const SessionData& data, std::string& reason);
// Reads the file into `out`; false with the reason (not a regular file, too large, cut short,
// damaged, a newer version), `out` unchanged.
bool ReadSessionFile(const std::string& path, SessionData& out, std::string& reason);

}  // namespace sonarix
