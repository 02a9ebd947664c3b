#include "TextFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
long g_failAfterBytes = -1;
}

bool TextFileReader::open(const std::string& path) {
    close();
    m_file = std::fopen(path.c_str(), "rb");
    return m_file != nullptr;
}

void TextFileReader::close() {
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
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
        line += static_cast<char>(c);
        c = nextByte();
    }
    return true;
}

void AtomicTextWriter::failAfterBytesForTesting(long bytes) {
    g_failAfterBytes = bytes;
}

bool AtomicTextWriter::open(const std::string& path, unsigned permissions, bool forcePermissions) {
    discard();
    m_path = path;
    m_failed = false;
    m_tempPath = path + ".XXXXXX";
    int fd = mkstemp(m_tempPath.data());
    if (fd < 0) {
        m_tempPath.clear();
        return false;
    }
    struct stat existing {};
    mode_t mode = !forcePermissions && ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777)
                                                                            : static_cast<mode_t>(permissions);
    if (::fchmod(fd, mode) != 0) {
        m_failed = true;
    }
    m_file = ::fdopen(fd, "wb");
    if (!m_file) {
        ::close(fd);
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
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
    bool ok = !m_failed && std::fflush(m_file) == 0 && ::fsync(::fileno(m_file)) == 0;
    ok = (std::fclose(m_file) == 0) && ok;
    m_file = nullptr;
    if (ok && ::rename(m_tempPath.c_str(), m_path.c_str()) == 0) {
        m_tempPath.clear();
        return true;
    }
    ::unlink(m_tempPath.c_str());
    m_tempPath.clear();
    return false;
}

void AtomicTextWriter::discard() {
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
}
