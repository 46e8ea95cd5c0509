// The text-file layer.
#include "measurement/TextFiles.h"

#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>

#include "measurement/Messages.h"
#include "measurement/ReadNumber.h"
#include "platform/Context.h"

namespace sonarix {
namespace {

constexpr int kCtrlZ = 0x1A;
constexpr size_t kLongestToken = 64;

// The test faults of the context in use (none in the program).
const std::function<int(size_t)>& Fault() { return platform::CurrentContext().writeFault; }
const std::function<int()>& CreateFault() { return platform::CurrentContext().createFault; }

// The file a path names, following symbolic links (also to a file that does not exist yet).
std::string Resolve(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::vector<char> target(PATH_MAX + 1);
        const ssize_t n = readlink(current.c_str(), target.data(), PATH_MAX);
        if (n <= 0) return current;
        std::string next(target.data(), static_cast<size_t>(n));
        if (next.front() != '/') {
            const size_t slash = current.rfind('/');
            if (slash != std::string::npos) next = current.substr(0, slash + 1) + next;
        }
        current = next;
    }
    return current;
}

int WriteAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        if (Fault()) {
            if (const int err = Fault()(done); err != 0) return err;
        }
        const size_t chunk = std::min<size_t>(content.size() - done, 1 << 16);
        const ssize_t n = write(fd, content.data() + done, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<size_t>(n);
    }
    if (Fault()) return Fault()(done);
    return 0;
}

// WriteFileSafely's work, with the system's errno as the result (0 = written).
int WriteFileErrno(const std::string& path, const std::string& content);

}  // namespace

int IoErrorFromErrno(int err) {
    switch (err) {
        case ENOENT:
            return kIoFileNotFound;
        case ENAMETOOLONG:
        case EINVAL:
        case EISDIR:
        case ENOTDIR:
            return kIoInvalidName;
        case EACCES:
        case EPERM:
        case EROFS:
            return kIoAccessDenied;
        case ENOSPC:
        case EDQUOT:
            return kIoDiskFull;
        default:
            return kIoOtherBase + err;
    }
}

TextReader::TextReader(std::FILE* file) : m_file(file) {}

void TextReader::Fill() {
    if (m_eof || m_pos < m_size) return;
    m_pos = 0;
    m_size = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file);
    if (m_size == 0) {
        m_eof = true;
        if (std::ferror(m_file) && m_error == 0) {
            const int err = errno ? errno : EIO;
            m_error = IoErrorFromErrno(err);
            m_reason = SystemErrorText(err);
        }
    }
}

int TextReader::Peek() {
    Fill();
    if (m_pos >= m_size) return -1;
    const int c = m_buffer[m_pos];
    return c == kCtrlZ ? -1 : c;
}

bool TextReader::AtEnd() { return Peek() < 0; }

bool TextReader::OnlyBlanksLeft() {
    for (int c = Peek(); c >= 0 && c <= 32; c = Peek()) {
        ++m_pos;
        if (c == '\n') ++m_line;
    }
    return AtEnd();
}

double TextReader::ReadNumber() {
    if (OnlyBlanksLeft()) return 0.0;
    char token[kLongestToken];
    size_t n = 0;
    for (int c = Peek(); c > 32 && n < kLongestToken; c = Peek()) {
        token[n++] = static_cast<char>(c);
        ++m_pos;
    }
    const std::optional<double> v = ParseNumber(std::string_view(token, n));
    if (!v) {
        if (m_error == 0) {
            m_error = kIoInvalidNumber;
            // The token as far as it can be shown: 24 characters, others than plain ASCII as ?.
            std::string shown;
            for (size_t i = 0; i < n && i < 24; ++i) {
                const auto c = static_cast<unsigned char>(token[i]);
                shown += c < 127 ? static_cast<char>(c) : '?';
            }
            if (n > 24) shown += "...";
            m_reason = "line " + std::to_string(m_line) + " holds \"" + shown +
                       "\", which is not a number";
        }
        return 0.0;
    }
    return *v;
}

void TextReader::SkipLine() {
    for (int c = Peek(); c >= 0; c = Peek()) {
        ++m_pos;
        if (c == '\n' || c == '\r') {
            if (c == '\r' && Peek() == '\n') ++m_pos;
            ++m_line;
            return;
        }
    }
}

int TextReader::TakeError() {
    const int e = m_error;
    m_error = 0;
    return e;
}

std::string SystemErrorText(int err) {
    // The messages of the C locale are the English ones.
    static const locale_t english = newlocale(LC_ALL_MASK, "C", locale_t{});
    return english != locale_t{} ? strerror_l(err, english) : std::strerror(err);
}

namespace {

// What a file that is not a regular one is, for the reason of its refusal.
const char* FileKind(mode_t mode) {
    if (S_ISDIR(mode)) return "it is a folder";
    if (S_ISFIFO(mode)) return "it is a named pipe (FIFO), not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not a regular file";
    if (S_ISSOCK(mode)) return "it is a socket, not a regular file";
    return "it is not a regular file";
}

}  // namespace

std::FILE* OpenForReading(const std::string& path, int& error, std::string* reason) {
    auto fail = [&](int code, const std::string& why) -> std::FILE* {
        error = code;
        if (reason != nullptr) *reason = why;
        return nullptr;
    };
    error = 0;
    if (path.empty()) return fail(kIoInvalidName, "no file name was given");
    // Looked at before it is opened (opening a named pipe waits for a writer), and again once
    // open, in case the name was replaced in between.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return fail(IoErrorFromErrno(errno), SystemErrorText(errno));
    if (!S_ISREG(st.st_mode)) return fail(kIoInvalidName, FileKind(st.st_mode));
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return fail(IoErrorFromErrno(errno), SystemErrorText(errno));
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return fail(kIoInvalidName, FileKind(st.st_mode));
    }
    std::FILE* f = fdopen(fd, "rb");
    if (f == nullptr) {
        const int err = errno;
        close(fd);
        return fail(IoErrorFromErrno(err), SystemErrorText(err));
    }
    return f;
}

void AppendFixed3(std::string& out, double v) {
    char buf[400];
    if (!std::isfinite(v)) v = 0.0;
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 3);
    out.append(buf, r.ec == std::errc() ? r.ptr : buf);
}

std::string PairLines(const double* x, const double* y, int n) {
    std::string out;
    out.reserve(static_cast<size_t>(std::max(n, 0)) * 24);
    for (int i = 0; i < n; ++i) {
        AppendFixed3(out, x[i]);
        out += ' ';
        AppendFixed3(out, y[i]);
        out += "\r\n";
    }
    return out;
}

PairRead ReadPairs(std::FILE* file, int capacity, double* x, double* y) {
    PairRead r;
    TextReader in(file);
    // As the runtime reads: two numbers, the rest of the line skipped, the error checked;
    // but a rest of nothing but blanks is no further point.
    while (!in.OnlyBlanksLeft()) {
        if (r.count == capacity) {
            r.truncated = true;
            break;
        }
        x[r.count] = in.ReadNumber();
        y[r.count] = in.ReadNumber();
        ++r.count;
        in.SkipLine();
        if ((r.error = in.TakeError()) != 0) {
            r.reason = in.Reason();
            return r;
        }
    }
    r.error = in.TakeError();
    if (r.error != 0) r.reason = in.Reason();
    return r;
}

PairRead ReadPairFile(const std::string& path, int capacity, double* x, double* y) {
    PairRead r;
    std::FILE* f = OpenForReading(path, r.error, &r.reason);
    if (f == nullptr) return r;
    r = ReadPairs(f, capacity, x, y);
    std::fclose(f);
    return r;
}

int WriteFileSafely(const std::string& path, const std::string& content, int* systemError) {
    int err = WriteFileErrno(path, content);
    if (systemError != nullptr) *systemError = err;
    return err == 0 ? 0 : IoErrorFromErrno(err);
}

namespace {
int WriteFileErrno(const std::string& path, const std::string& content) {
    if (path.empty()) return EINVAL;
    const std::string target = Resolve(path);
    struct stat st {};
    mode_t mode = 0;
    if (stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return EISDIR;
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.empty()) return EISDIR;
    std::string temp =
        (slash == std::string::npos ? std::string() : folder) + "." + name + ".XXXXXX";
    if (CreateFault()) {
        if (const int err = CreateFault()(); err != 0) return err;
    }
    const int fd = mkstemp(temp.data());
    if (fd < 0) return errno;
    int err = WriteAll(fd, content);
    if (err == 0 && fchmod(fd, mode) != 0) err = errno;
    if (err == 0 && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && rename(temp.c_str(), target.c_str()) != 0) err = errno;
    if (err != 0) {
        unlink(temp.c_str());
        return err;
    }
    // The rename itself is on the disk only once the folder is: a crash right after it could
    // otherwise bring back the old file (or none) although the save was reported done. The
    // new file is in place either way; a folder that cannot be synced (some file systems
    // refuse) is no failure of the save.
    const int dir = open(slash == std::string::npos ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return 0;
}
}  // namespace

std::string WriteTextFile(const std::string& path, const std::string& content) {
    int err = 0;
    const int code = WriteFileSafely(path, content, &err);
    return code == 0 ? std::string() : IoErrorMessage(code, path, SystemErrorText(err));
}

}  // namespace sonarix
