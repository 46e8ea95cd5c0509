// The session file in JSON, through Qt's JSON classes. Doubles are written in the shortest form
// that reads back to the same bits; what JSON cannot hold as a number (-0, NaN, infinities)
// is written as a string.
#include "session/SessionFile.h"

#include <sys/stat.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include "measurement/TextFiles.h"

namespace sonarix {

namespace {

QJsonValue Number(double v) {
    if (std::isnan(v)) return QStringLiteral("NaN");
    if (std::isinf(v)) return v > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
    if (v == 0.0 && std::signbit(v)) return QStringLiteral("-0");
    return v;
}

template <typename Range>
QJsonArray Numbers(const Range& values) {
    QJsonArray a;
    for (double v : values) a.append(Number(v));
    return a;
}

QString Text(const std::string& s) { return QString::fromStdString(s); }

// Reading: each getter fails with a reason that names the item.
struct Reader {
    std::string& reason;
    bool ok = true;

    bool Fail(const std::string& what) {
        if (ok) reason = what;
        ok = false;
        return false;
    }
    bool NumberOf(const QJsonValue& v, double& out, const std::string& name) {
        if (v.isDouble()) {
            out = v.toDouble();
            return true;
        }
        if (v.isString()) {
            const QString s = v.toString();
            if (s == QLatin1String("NaN"))
                out = std::numeric_limits<double>::quiet_NaN();
            else if (s == QLatin1String("Infinity"))
                out = std::numeric_limits<double>::infinity();
            else if (s == QLatin1String("-Infinity"))
                out = -std::numeric_limits<double>::infinity();
            else if (s == QLatin1String("-0"))
                out = -0.0;
            else
                return Fail(name + " is not a number");
            return true;
        }
        return Fail(name + (v.isUndefined() ? " is missing" : " is not a number"));
    }
    double Num(const QJsonObject& o, const char* key, const std::string& where) {
        double v = 0.0;
        NumberOf(o.value(QLatin1String(key)), v, where + "\"" + key + "\"");
        return v;
    }
    int Int(const QJsonObject& o, const char* key, const std::string& where, int lo, int hi) {
        const double v = Num(o, key, where);
        if (ok && !(v >= lo && v <= hi && v == std::floor(v))) {
            Fail(where + "\"" + key + "\" is not a whole number from " + std::to_string(lo) +
                 " to " + std::to_string(hi));
            return lo;
        }
        return ok ? static_cast<int>(v) : lo;
    }
    uint32_t Colour(const QJsonObject& o, const char* key, const std::string& where) {
        const double v = Num(o, key, where);
        if (ok && !(v >= 0 && v <= 0xFFFFFF && v == std::floor(v))) {
            Fail(where + "\"" + key + "\" is not a colour 0 ... 16777215");
            return 0;
        }
        return ok ? static_cast<uint32_t>(v) : 0;
    }
    bool Bool(const QJsonObject& o, const char* key, const std::string& where) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isBool()) Fail(where + "\"" + key + "\" is not true or false");
        return v.toBool();
    }
    std::string Str(const QJsonObject& o, const char* key, const std::string& where) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isString()) Fail(where + "\"" + key + "\" is not a text");
        return v.toString().toStdString();
    }
    QJsonObject Obj(const QJsonValue& v, const std::string& name) {
        if (!v.isObject()) Fail(name + (v.isUndefined() ? " is missing" : " is not an object"));
        return v.toObject();
    }
    QJsonArray Arr(const QJsonValue& v, const std::string& name) {
        if (!v.isArray()) Fail(name + (v.isUndefined() ? " is missing" : " is not a list"));
        return v.toArray();
    }
    template <typename Out>
    void Values(const QJsonArray& a, Out& out, const std::string& name) {
        for (qsizetype i = 0; i < a.size() && ok; ++i) {
            NumberOf(a[i], out[static_cast<size_t>(i)], name + " value " + std::to_string(i + 1));
        }
    }
};

QJsonObject SlotObject(const SlotContent& c) {
    const auto n = static_cast<std::ptrdiff_t>(std::min<size_t>(c.freq.size(), c.count));
    QJsonObject o;
    o[QLatin1String("color")] = static_cast<double>(c.color);
    o[QLatin1String("phased")] = c.phased;
    o[QLatin1String("frequency")] =
        Numbers(std::vector<double>(c.freq.begin(), c.freq.begin() + n));
    o[QLatin1String("amplitude")] = Numbers(std::vector<double>(c.amp.begin(), c.amp.begin() + n));
    o[QLatin1String("phase")] = Numbers(std::vector<double>(c.phase.begin(), c.phase.begin() + n));
    return o;
}

void ReadSlot(Reader& r, const QJsonObject& o, SlotContent& c, const std::string& where) {
    c.color = r.Colour(o, "color", where);
    c.phased = r.Bool(o, "phased", where);
    const QJsonArray f = r.Arr(o.value(QLatin1String("frequency")), where + "\"frequency\"");
    const QJsonArray a = r.Arr(o.value(QLatin1String("amplitude")), where + "\"amplitude\"");
    const QJsonArray p = r.Arr(o.value(QLatin1String("phase")), where + "\"phase\"");
    if (!r.ok) return;
    if (f.size() > kSlotCapacity) {
        r.Fail(where + "holds " + std::to_string(f.size()) + " points, more than " +
               std::to_string(kSlotCapacity));
        return;
    }
    if (a.size() != f.size() || p.size() != f.size()) {
        r.Fail(where + "\"frequency\", \"amplitude\" and \"phase\" differ in length");
        return;
    }
    c.count = static_cast<int32_t>(f.size());
    c.freq.resize(static_cast<size_t>(c.count));
    c.amp.resize(static_cast<size_t>(c.count));
    c.phase.resize(static_cast<size_t>(c.count));
    r.Values(f, c.freq, where + "\"frequency\"");
    r.Values(a, c.amp, where + "\"amplitude\"");
    r.Values(p, c.phase, where + "\"phase\"");
}

QJsonObject SettingsObject(const WindowSettings& w) {
    QJsonObject o;
    o[QLatin1String("start")] = Text(w.start);
    o[QLatin1String("stop")] = Text(w.stop);
    o[QLatin1String("step")] = Text(w.step);
    o[QLatin1String("time")] = Text(w.time);
    o[QLatin1String("currentSlot")] = w.currentSlot;
    o[QLatin1String("display")] = w.display;
    o[QLatin1String("fftFilter")] = w.fftFilter;
    o[QLatin1String("lockIn")] = w.lockIn;
    o[QLatin1String("volume")] = w.volume;
    o[QLatin1String("font")] = Text(w.font);
    o[QLatin1String("fontColor")] = static_cast<double>(w.fontColor);
    o[QLatin1String("penWidth")] = w.penWidth;
    o[QLatin1String("fastSpacing")] = w.fastSpacing;
    o[QLatin1String("fastLength")] = w.fastLength;
    return o;
}

void ReadSettings(Reader& r, const QJsonObject& o, WindowSettings& w) {
    const std::string at = "\"settings\": ";
    w.start = r.Str(o, "start", at);
    w.stop = r.Str(o, "stop", at);
    w.step = r.Str(o, "step", at);
    w.time = r.Str(o, "time", at);
    w.currentSlot = r.Int(o, "currentSlot", at, 0, kSlots - 1);
    w.display = r.Int(o, "display", at, 0, 3);
    w.fftFilter = r.Bool(o, "fftFilter", at);
    w.lockIn = r.Bool(o, "lockIn", at);
    w.volume = r.Int(o, "volume", at, 0, 100);
    w.font = r.Str(o, "font", at);
    w.fontColor = r.Colour(o, "fontColor", at);
    w.penWidth = r.Int(o, "penWidth", at, 1, 4);
    // Added later in version 1: absent in older files, which keep the defaults.
    if (o.contains(QLatin1String("fastSpacing"))) w.fastSpacing = r.Num(o, "fastSpacing", at);
    if (o.contains(QLatin1String("fastLength"))) w.fastLength = r.Int(o, "fastLength", at, 1, 64);
}

QJsonObject LatencyObject(const LatencyCalibration& l) {
    QJsonObject o;
    o[QLatin1String("valid")] = l.valid;
    o[QLatin1String("samples")] = Number(l.samples);
    o[QLatin1String("confidenceDb")] = Number(l.confidenceDb);
    o[QLatin1String("spreadMs")] = Number(l.spreadMs);
    o[QLatin1String("ageSamples")] = Number(l.ageSamples);
    o[QLatin1String("frameOffset")] = Number(l.frameOffset);
    return o;
}

void ReadLatency(Reader& r, const QJsonObject& o, LatencyCalibration& l) {
    const std::string at = "\"latency\": ";
    l.valid = r.Bool(o, "valid", at);
    l.samples = r.Num(o, "samples", at);
    l.confidenceDb = r.Num(o, "confidenceDb", at);
    l.spreadMs = r.Num(o, "spreadMs", at);
    l.ageSamples = r.Num(o, "ageSamples", at);
    // Added later in version 1: older files had only the delay seen from the reads.
    l.frameOffset = o.contains(QLatin1String("frameOffset")) ? r.Num(o, "frameOffset", at)
                                                             : l.samples - l.ageSamples;
}

QJsonObject FitObject(const FitSession& f) {
    QJsonObject o;
    o[QLatin1String("from")] = Text(f.from);
    o[QLatin1String("to")] = Text(f.to);
    QJsonArray peaks;
    for (int k = 1; k <= kPeaks; ++k) {
        QJsonObject p;
        p[QLatin1String("frequency")] = Number(f.peaks.PeakFrequency[k]);
        p[QLatin1String("amplitude")] = Number(f.peaks.PeakAmplitude[k]);
        p[QLatin1String("width")] = Number(f.peaks.PeakWidth[k]);
        p[QLatin1String("phase")] = Number(f.peaks.PeakPhase[k]);
        peaks.append(p);
    }
    o[QLatin1String("peaks")] = peaks;
    return o;
}

void ReadFit(Reader& r, const QJsonObject& o, FitSession& f) {
    const std::string at = "\"fit\": ";
    f.from = r.Str(o, "from", at);
    f.to = r.Str(o, "to", at);
    const QJsonArray peaks = r.Arr(o.value(QLatin1String("peaks")), at + "\"peaks\"");
    if (r.ok && peaks.size() != kPeaks) {
        r.Fail(at + "\"peaks\" must hold " + std::to_string(kPeaks) + " peaks");
        return;
    }
    for (int k = 1; k <= kPeaks && r.ok; ++k) {
        const std::string where = at + "peak " + std::to_string(k) + ": ";
        const QJsonObject p = r.Obj(peaks[k - 1], where);
        f.peaks.PeakFrequency[k] = r.Num(p, "frequency", where);
        f.peaks.PeakAmplitude[k] = r.Num(p, "amplitude", where);
        f.peaks.PeakWidth[k] = r.Num(p, "width", where);
        f.peaks.PeakPhase[k] = r.Num(p, "phase", where);
    }
}

// A spectrum of the series as a slot object (colour 0), or null.
QJsonValue SpectrumValue(const std::shared_ptr<const FastSpectrum>& sp) {
    if (!sp) return QJsonValue(QJsonValue::Null);
    SlotContent c;
    c.count = static_cast<int32_t>(sp->freq.size());
    c.freq = sp->freq;
    c.amp = sp->amp;
    c.phase = sp->phase;
    c.phased = sp->phased;
    return SlotObject(c);
}

std::shared_ptr<const FastSpectrum> ReadSpectrum(Reader& r, const QJsonValue& v,
                                                 const std::string& where) {
    if (v.isNull()) return nullptr;
    SlotContent c;
    ReadSlot(r, r.Obj(v, where), c, where);
    if (!r.ok) return nullptr;
    if (!std::is_sorted(c.freq.begin(), c.freq.end())) {
        r.Fail(where + "its frequencies do not rise");
        return nullptr;
    }
    return std::make_shared<const FastSpectrum>(
        FastSpectrum{std::move(c.freq), std::move(c.amp), std::move(c.phase), c.phased});
}

// With `series`, also the spectra of a "Whole spectrum per angle" series.
QJsonObject WaveObject(const WaveState& w, bool series) {
    QJsonObject o;
    o[QLatin1String("frequency")] = Number(w.frequency);
    o[QLatin1String("values")] = Numbers(w.values);
    if (series &&
        std::any_of(w.series.begin(), w.series.end(), [](const auto& sp) { return sp; })) {
        QJsonArray list;
        for (const auto& sp : w.series) list.append(SpectrumValue(sp));
        o[QLatin1String("spectra")] = list;
    }
    return o;
}

// Without "spectra" the series stays as it is.
void ReadWave(Reader& r, const QJsonObject& o, WaveState& w) {
    const std::string at = "\"wave\": ";
    w.frequency = r.Num(o, "frequency", at);
    const QJsonArray v = r.Arr(o.value(QLatin1String("values")), at + "\"values\"");
    if (r.ok && v.size() != kAngles) {
        r.Fail(at + "\"values\" must hold " + std::to_string(kAngles) + " values");
        return;
    }
    r.Values(v, w.values, at + "\"values\"");
    if (!r.ok || !o.contains(QLatin1String("spectra"))) return;
    const QJsonArray list = r.Arr(o.value(QLatin1String("spectra")), at + "\"spectra\"");
    if (r.ok && list.size() != kAngles) {
        r.Fail(at + "\"spectra\" must hold " + std::to_string(kAngles) + " entries");
        return;
    }
    for (int k = 0; k < kAngles && r.ok; ++k) {
        w.series[static_cast<size_t>(k)] =
            ReadSpectrum(r, list[k], at + "spectrum " + std::to_string(10 * k) + " degrees: ");
    }
}

std::string ToText(const QJsonObject& o, bool compact) {
    const QByteArray b =
        QJsonDocument(o).toJson(compact ? QJsonDocument::Compact : QJsonDocument::Indented);
    return std::string(b.constData(), static_cast<size_t>(b.size()));
}

// The document's top object; false with the reason when it is not JSON or not an object.
bool TopObject(const std::string& text, QJsonObject& o, std::string& reason) {
    QJsonParseError e{};
    const QJsonDocument d = QJsonDocument::fromJson(
        QByteArray::fromRawData(text.data(), static_cast<qsizetype>(text.size())), &e);
    if (e.error != QJsonParseError::NoError) {
        reason = "damaged at character " + std::to_string(e.offset) + " (" +
                 e.errorString().toStdString() + ")";
        return false;
    }
    if (!d.isObject()) {
        reason = "not a JSON object";
        return false;
    }
    o = d.object();
    return true;
}

// Reads an object with `read`; `out` changes only on success.
template <typename T, typename Read>
bool ReadInto(const QJsonObject& o, T& out, std::string& reason, Read read) {
    Reader r{reason};
    T value = out;
    read(r, o, value);
    if (!r.ok) return false;
    out = std::move(value);
    return true;
}

// The same for one part's document.
template <typename T, typename Read>
bool ParsePart(const std::string& text, T& out, std::string& reason, Read read) {
    QJsonObject o;
    return TopObject(text, o, reason) && ReadInto(o, out, reason, read);
}

// The parts that files of this program's windows hold; their values are checked when the file
// is read.
struct CorePart {
    const char* key;
    bool (*check)(const QJsonObject&, std::string&);
};
template <typename T>
bool Check(const QJsonObject& o, std::string& reason) {
    T value{};
    return FromJson(o, value, reason);
}
const CorePart kCoreParts[] = {{"settings", Check<WindowSettings>},
                               {"latency", Check<LatencyCalibration>},
                               {"fit", Check<FitSession>}};

// Keys of the top object that are not parts.
bool FrameKey(const QString& key) {
    return key == QLatin1String("format") || key == QLatin1String("version") ||
           key == QLatin1String("slots") || key == QLatin1String("wave");
}

}  // namespace

QJsonObject ToJson(const WindowSettings& settings) { return SettingsObject(settings); }
bool FromJson(const QJsonObject& o, WindowSettings& out, std::string& reason) {
    return ReadInto(o, out, reason, ReadSettings);
}
QJsonObject ToJson(const LatencyCalibration& latency) { return LatencyObject(latency); }
bool FromJson(const QJsonObject& o, LatencyCalibration& out, std::string& reason) {
    return ReadInto(o, out, reason, ReadLatency);
}
QJsonObject ToJson(const FitSession& fit) { return FitObject(fit); }
bool FromJson(const QJsonObject& o, FitSession& out, std::string& reason) {
    return ReadInto(o, out, reason, ReadFit);
}

std::string CompactJson(const QJsonObject& o) { return ToText(o, true); }
bool ParseObject(const std::string& text, QJsonObject& o, std::string& reason) {
    return TopObject(text, o, reason);
}

std::string SessionJson(const SessionData& d, bool compact) {
    QJsonObject o;
    o[QLatin1String("format")] = QLatin1String(kSessionFormat);
    o[QLatin1String("version")] = kSessionVersion;
    QJsonArray slotList;
    for (const SlotContent& c : d.spectra) slotList.append(SlotObject(c));
    o[QLatin1String("slots")] = slotList;
    o[QLatin1String("wave")] = WaveObject(d.wave, true);
    for (const auto& [key, value] : d.parts) {
        QJsonObject part;
        std::string reason;
        if (ParseObject(value, part, reason)) o[Text(key)] = part;
    }
    return ToText(o, compact);
}

bool ParseSession(const std::string& text, SessionData& out, std::string& reason) {
    QJsonObject o;
    if (!TopObject(text, o, reason)) return false;
    if (o.value(QLatin1String("format")).toString() != QLatin1String(kSessionFormat)) {
        reason = "not a Sonarix session file (no \"format\": \"sonarix-session\")";
        return false;
    }
    const QJsonValue version = o.value(QLatin1String("version"));
    if (!version.isDouble() || version.toDouble() < 1 ||
        version.toDouble() != std::floor(version.toDouble())) {
        reason = "its \"version\" is not a format version";
        return false;
    }
    if (version.toDouble() > kSessionVersion) {
        reason = "it was written by a newer Sonarix (format version " +
                 std::to_string(static_cast<long long>(version.toDouble())) +
                 "; this one reads version " + std::to_string(kSessionVersion) + ")";
        return false;
    }
    Reader r{reason};
    SessionData d;
    const QJsonArray slotList = r.Arr(o.value(QLatin1String("slots")), "\"slots\"");
    if (r.ok && slotList.size() != kSlots) r.Fail("\"slots\" must hold 4 slots");
    for (int i = 0; i < kSlots && r.ok; ++i) {
        const std::string where = "slot " + std::to_string(i + 1) + ": ";
        ReadSlot(r, r.Obj(slotList[i], where), d.spectra[i], where);
    }
    for (const CorePart& part : kCoreParts) {
        // A program without windows (the command line) writes sessions without them.
        if (!r.ok || !o.contains(QLatin1String(part.key))) continue;
        const std::string name = std::string("\"") + part.key + "\"";
        const QJsonObject value = r.Obj(o.value(QLatin1String(part.key)), name);
        std::string why;
        if (r.ok && !part.check(value, why)) r.Fail(why);
    }
    if (r.ok) ReadWave(r, r.Obj(o.value(QLatin1String("wave")), "\"wave\""), d.wave);
    if (!r.ok) return false;
    // Every other object is a part's value (also one this program does not know: it is
    // written again when the session is saved from this data).
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (!FrameKey(it.key()) && it.value().isObject()) {
            d.parts[it.key().toStdString()] = ToText(it.value().toObject(), true);
        }
    }
    out = std::move(d);
    return true;
}

std::string SlotJson(const SlotContent& slot) { return ToText(SlotObject(slot), true); }
bool ParseSlot(const std::string& text, SlotContent& out, std::string& reason) {
    return ParsePart(text, out, reason, [](Reader& r, const QJsonObject& o, SlotContent& c) {
        ReadSlot(r, o, c, "");
    });
}

std::string WaveJson(const WaveState& wave) { return ToText(WaveObject(wave, false), true); }

std::string AngleSpectrumJson(int angle, const std::shared_ptr<const FastSpectrum>& spectrum) {
    const QJsonValue v = SpectrumValue(spectrum);
    return std::to_string(angle) + " " +
           (v.isNull() ? std::string("null") : ToText(v.toObject(), true));
}

bool ParseAngleSpectrum(const std::string& text, WaveState& out, std::string& reason) {
    const size_t space = text.find(' ');
    int angle = -1;
    const auto r = std::from_chars(text.data(), text.data() + std::min(space, text.size()), angle);
    if (space == std::string::npos || r.ec != std::errc() || r.ptr != text.data() + space ||
        angle < 0 || angle >= kAngles) {
        reason = "no angle index";
        return false;
    }
    const std::string rest = text.substr(space + 1);
    if (rest == "null") {
        out.series[static_cast<size_t>(angle)] = nullptr;
        return true;
    }
    QJsonObject o;
    if (!TopObject(rest, o, reason)) return false;
    Reader reader{reason};
    auto sp = ReadSpectrum(reader, o, "");
    if (!reader.ok) return false;
    out.series[static_cast<size_t>(angle)] = std::move(sp);
    return true;
}
bool ParseWave(const std::string& text, WaveState& out, std::string& reason) {
    return ParsePart(text, out, reason, ReadWave);
}

int WriteSessionFile(const std::string& path, const SessionData& data, std::string& reason) {
    int err = 0;
    const int code = WriteFileSafely(path, SessionJson(data, false), &err);
    if (code != 0) reason = SystemErrorText(err);
    return code;
}

bool ReadWholeFile(const std::string& path, long long limit, std::string& text,
                   std::string& reason) {
    int error = 0;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(OpenForReading(path, error, &reason),
                                                      &std::fclose);
    if (!f) return false;
    text.clear();
    // A regular file larger than the limit is refused by its size, unread (a pipe or a device
    // has none: the limit then ends the reading).
    struct stat st {};
    const bool tooLarge = fstat(fileno(f.get()), &st) == 0 && S_ISREG(st.st_mode) &&
                          static_cast<long long>(st.st_size) > limit;
    if (tooLarge) {
        reason = "larger than " + std::to_string(limit >> 20) + " MB, which it never is";
        return false;
    }
    char buffer[1 << 16];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) {
        if (static_cast<long long>(text.size() + n) > limit) {
            reason = "larger than " + std::to_string(limit >> 20) + " MB, which it never is";
            return false;
        }
        text.append(buffer, n);
    }
    if (std::ferror(f.get())) {
        reason = "it cannot be read";
        return false;
    }
    return true;
}

bool ReadSessionFile(const std::string& path, SessionData& out, std::string& reason) {
    std::string text;
    return ReadWholeFile(path, kSessionFileLimit, text, reason) && ParseSession(text, out, reason);
}

}  // namespace sonarix
