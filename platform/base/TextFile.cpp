#include "TextFile.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {
long g_failAfterBytes = -1;

// Creates a file of a new name in the folder of `path`, so that renaming it replaces `path` atomically. `mode` is
// given to open(), so the umask and a default ACL of the folder apply as to any new file.
int createBeside(const std::string& path, mode_t mode, std::string& created) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // The name need not be unpredictable: O_EXCL never opens what someone else put there.
    std::minstd_rand random(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                            static_cast<unsigned>(::getpid()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = path + ".";
        for (int i = 0; i < 6; ++i) {
            name += kLetters[random() % (sizeof kLetters - 1)];
        }
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            created = name;
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return -1;
}

// An access ACL beyond the mode bits; a new file would not have it.
bool hasExtendedAcl(int fd) {
    return ::fgetxattr(fd, "system.posix_acl_access", nullptr, 0) > 0;
}

} // namespace

bool TextFileReader::open(const std::string& path) {
    close();
    // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come; on a regular file it changes
    // nothing.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_missing = errno == ENOENT;
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || !(m_file = ::fdopen(fd, "rb"))) {
        ::close(fd);
        return false;
    }
    return true;
}

void TextFileReader::close() {
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_missing = false;
    m_damaged = false;
}

bool TextFileReader::damaged() const {
    return m_damaged || (m_file && std::ferror(m_file));
}

int TextFileReader::nextByte() {
    int c = std::getc(m_file);
    if (c == '\r') {
        int next = std::getc(m_file);
        if (next == '\n') {
            return '\n';
        }
        if (next != EOF) {
            std::ungetc(next, m_file);
        }
    }
    return c;
}

bool TextFileReader::readLine(char* buffer, int capacity, int* length) {
    if (!m_file || capacity <= 0) {
        return false;
    }
    int count = 0;
    while (count < capacity - 1) {
        int c = nextByte();
        if (c == EOF) {
            break;
        }
        buffer[count++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    if (count == 0 && capacity > 1) {
        return false;
    }
    buffer[count] = '\0';
    if (length) {
        *length = count;
    }
    return true;
}

bool TextFileReader::readWholeLine(std::string& line) {
    if (!m_file) {
        return false;
    }
    line.clear();
    int c = nextByte();
    if (c == EOF) {
        return false;
    }
    while (c != EOF && c != '\n') {
        if (line.size() == kMaxLineBytes) {
            m_damaged = true;
            return false;
        }
        line += static_cast<char>(c);
        c = nextByte();
    }
    return !damaged();
}

void AtomicTextWriter::failAfterBytesForTesting(long bytes) {
    g_failAfterBytes = bytes;
}

bool AtomicTextWriter::open(const std::string& path, unsigned permissions, bool forcePermissions) {
    discard();
    m_path = path;
    m_failed = false;
    int fd = createBeside(path, 0600, m_tempPath);
    if (fd < 0) {
        return false;
    }
    struct stat existing {};
    mode_t mode = !forcePermissions && ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777)
                                                                            : static_cast<mode_t>(permissions);
    if (::fchmod(fd, mode) != 0) {
        m_failed = true;
    }
    return attach(fd);
}

bool AtomicTextWriter::openChosenFile(const std::string& chosen) {
    discard();
    m_path = chosen;
    m_failed = false;
    struct stat link {};
    if (::lstat(chosen.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        char* target = ::realpath(chosen.c_str(), nullptr);
        if (!target) {
            // A link to a file that does not exist yet: opening the link creates its target.
            return openInPlace(-1);
        }
        m_path = target;
        std::free(target);
    }
    int existingFd = -1;
    struct stat existing {};
    if (::stat(m_path.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode)) {
            return openInPlace(-1);
        }
        // Only a file the user may write is written, however it is written.
        existingFd = ::open(m_path.c_str(), O_WRONLY | O_CLOEXEC);
        if (existingFd < 0 || ::fstat(existingFd, &existing) != 0) {
            if (existingFd >= 0) {
                ::close(existingFd);
            }
            return false;
        }
        if (existing.st_nlink > 1 || hasExtendedAcl(existingFd)) {
            return openInPlace(existingFd);
        }
    }
    int fd = createBeside(m_path, 0666, m_tempPath);
    if (fd < 0) {
        return openInPlace(existingFd);
    }
    // The owner and group of a file only the system or another user could have created cannot be given again.
    if (existingFd >= 0 &&
        (::fchown(fd, existing.st_uid, existing.st_gid) != 0 || ::fchmod(fd, existing.st_mode & 07777) != 0)) {
        ::close(fd);
        removeTempFile();
        return openInPlace(existingFd);
    }
    if (existingFd >= 0) {
        ::close(existingFd);
    }
    return attach(fd);
}

bool AtomicTextWriter::openInPlace(int existingFd) {
    m_tempPath.clear();
    int fd = existingFd;
    if (fd >= 0) {
        if (::ftruncate(fd, 0) != 0) {
            ::close(fd);
            return false;
        }
    } else {
        fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    return fd >= 0 && attach(fd);
}

bool AtomicTextWriter::attach(int fd) {
    m_file = ::fdopen(fd, "wb");
    if (!m_file) {
        ::close(fd);
        removeTempFile();
        return false;
    }
    return true;
}

bool AtomicTextWriter::write(std::string_view text) {
    std::string translated;
    translated.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') {
            translated += '\r';
        }
        translated += c;
    }
    return writeBinary(translated);
}

bool AtomicTextWriter::writeBinary(std::string_view translated) {
    if (!m_file || m_failed) {
        return false;
    }
    std::size_t toWrite = translated.size();
    if (g_failAfterBytes >= 0) {
        if (static_cast<long>(toWrite) > g_failAfterBytes) {
            std::fwrite(translated.data(), 1, static_cast<std::size_t>(g_failAfterBytes), m_file);
            g_failAfterBytes = 0;
            m_failed = true;
            errno = ENOSPC;
            return false;
        }
        g_failAfterBytes -= static_cast<long>(toWrite);
    }
    if (std::fwrite(translated.data(), 1, toWrite, m_file) != toWrite) {
        m_failed = true;
    }
    return !m_failed;
}

bool AtomicTextWriter::commit() {
    if (!m_file) {
        return false;
    }
    struct stat written {};
    // Only a regular file can be synced; a device or a pipe written in place has nothing to keep.
    bool regular = ::fstat(::fileno(m_file), &written) == 0 && S_ISREG(written.st_mode);
    bool ok = !m_failed && std::fflush(m_file) == 0 && (!regular || ::fsync(::fileno(m_file)) == 0);
    ok = (std::fclose(m_file) == 0) && ok;
    m_file = nullptr;
    if (m_tempPath.empty()) {
        return ok;
    }
    if (ok && ::rename(m_tempPath.c_str(), m_path.c_str()) == 0) {
        m_tempPath.clear();
        return true;
    }
    removeTempFile();
    return false;
}

void AtomicTextWriter::discard() {
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    removeTempFile();
}

void AtomicTextWriter::removeTempFile() {
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
}
