// The text files of the program (spectra, fit results, wave functions): the runtime's reading
// rules for numbers, the fixed-point line format, writing that never destroys the file it
// replaces, and the mapping of the system's errors onto the runtime's I/O error codes.
// No widgets; the windows only choose the file names and show the error box.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sonarix {

// The runtime's I/O error codes (texts: IoErrorText).
inline constexpr int kIoFileNotFound = 2;
inline constexpr int kIoInvalidName = 3;
inline constexpr int kIoAccessDenied = 5;
inline constexpr int kIoDiskFull = 101;
inline constexpr int kIoInvalidNumber = 106;
// Other system errors become "E/A-Fehler <1000 + errno>", clear of the codes above.
inline constexpr int kIoOtherBase = 1000;

// ENOENT -> 2; ENAMETOOLONG, EINVAL, EISDIR, ENOTDIR -> 3; EACCES, EPERM, EROFS -> 5;
// ENOSPC, EDQUOT -> 101; anything else -> 1000 + errno.
int IoErrorFromErrno(int err);

// Reads a text file by the runtime's rules. The end of the file is where no character is left
// or the next one is Ctrl-Z. Reads through a buffer of its own; the caller owns the FILE.
class TextReader {
public:
    explicit TextReader(std::FILE* file);
    TextReader(const TextReader&) = delete;
    TextReader& operator=(const TextReader&) = delete;

    bool AtEnd();
    // Skips characters of code 32 or less, across line ends; true if only they were left.
    bool OnlyBlanksLeft();
    // A number: skips characters <= 32 (the end of the file while skipping gives 0.0), then
    // takes up to 64 characters up to the next one <= 32 and converts them by ParseNumber's
    // grammar. A token that is not a number gives 0.0 and leaves error 106 pending.
    double ReadNumber();
    // Skips to the start of the next line: past LF, CR LF, or a CR alone (old Mac files), or
    // to the end of the file.
    void SkipLine();
    // The pending error, then none: 106 for a token that was not a number, or the system's
    // read error mapped by IoErrorFromErrno; 0 if none.
    int TakeError();
    // The last error in plain English: the line and the token that is not a number, or the
    // system's reason for a failed read.
    const std::string& Reason() const { return m_reason; }

private:
    int Peek();  // the next character, or -1 at the end of the file (Ctrl-Z included)
    void Fill();

    std::FILE* m_file;
    std::vector<unsigned char> m_buffer = std::vector<unsigned char>(1 << 16);
    size_t m_pos = 0;
    size_t m_size = 0;
    bool m_eof = false;
    int m_error = 0;
    int m_line = 1;  // the line the next character belongs to
    std::string m_reason;
};

// The system's text for errno `err` in English, whatever the locale ("Permission denied").
std::string SystemErrorText(int err);

// Opens path for reading; nullptr with the I/O error code in `error` and its reason in plain
// English in `reason` (if given). Anything that is not a regular file (a folder, a named pipe,
// a device such as /dev/zero) is refused as an invalid name before it is read, so that nothing
// waits for a writer or reads without end.
std::FILE* OpenForReading(const std::string& path, int& error, std::string* reason = nullptr);

// The lines of a two-column file: "x y" CR LF, both with 3 decimals, point as separator.
std::string PairLines(const double* x, const double* y, int n);
// Appends v with 3 decimals (rounded; a leading "-" for negative values) to out.
void AppendFixed3(std::string& out, double v);

// Reads "x y" lines by the runtime's rules into x[0 ...], y[0 ...], at most `capacity` points.
// The count does not include a last "line" of blanks only (an empty file has no points).
struct PairRead {
    int error = 0;           // 0, or the I/O error code that ended the reading
    std::string reason;      // the error's reason in plain English
    int count = 0;           // points read
    bool truncated = false;  // the file held more than `capacity` points
};
PairRead ReadPairs(std::FILE* file, int capacity, double* x, double* y);
PairRead ReadPairFile(const std::string& path, int capacity, double* x, double* y);

// Writes content as the whole file at path without ever leaving a damaged file in its place:
// a temporary file in the same folder, flushed to the disk, then renamed over the target,
// which keeps its permissions; a symbolic link is followed to the file it names. Returns 0 or
// the I/O error code; on failure the temporary file is removed and the old file is unchanged,
// and `systemError` (if given) receives the system's errno.
int WriteFileSafely(const std::string& path, const std::string& content,
                    int* systemError = nullptr);

// Writes the file as WriteFileSafely does. "" when written, otherwise what the runtime's error
// box says: the error's text, and the file's name and the system's reason on a second line.
std::string WriteTextFile(const std::string& path, const std::string& content);

}  // namespace sonarix
