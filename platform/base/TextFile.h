#pragma once

#include "platform/base/CString.h"

#include <cstdio>
#include <string>

// A text file read the way the program's files have always been read: a CR LF pair and a lone LF both end a line
// (the line keeps a single LF), and a CR that is not directly before an LF belongs to the text.
class TextFileReader {
public:
    TextFileReader() = default;
    ~TextFileReader() { close(); }
    TextFileReader(const TextFileReader&) = delete;
    TextFileReader& operator=(const TextFileReader&) = delete;

    // Longest line readWholeLine() takes: the program's files hold short lines, and a file that does not is damaged.
    static constexpr std::size_t kMaxLineBytes = 1 << 20;

    // Opens a regular file only: a FIFO, a device or a folder in its place would block or never end. When it fails,
    // missing() tells whether there is simply no file there, as opposed to one that cannot be read.
    bool open(const std::string& path);
    bool isOpen() const { return m_file != nullptr; }
    bool missing() const { return m_missing; }
    void close();

    // Reads one line into `buffer`: stops after the LF (which it keeps) or after capacity - 1 bytes, and ends the
    // text with a NUL. At the end of the file it returns false and leaves the buffer as it was. Returns the number
    // of bytes stored in `length` when given (the text may hold NUL bytes).
    bool readLine(char* buffer, int capacity, int* length = nullptr);

    // Reads one whole line, up to kMaxLineBytes, without its line end. False at the end of the file, and when the
    // file turned out damaged.
    bool readWholeLine(std::string& line);

    // A read failed or a line was too long: what was read is not the whole file, and writing it back would lose
    // the rest.
    bool damaged() const;

private:
    int nextByte();

    std::FILE* m_file = nullptr;
    bool m_missing = false;
    bool m_damaged = false;
};

// Writes a text file so that a failure at any point leaves the previous file untouched: the text goes to a temporary
// file in the same folder, which replaces the target only when everything was written and flushed (except where
// openChosenFile() writes in place). Each LF written becomes CR LF.
class AtomicTextWriter {
public:
    AtomicTextWriter() = default;
    ~AtomicTextWriter() { discard(); }
    AtomicTextWriter(const AtomicTextWriter&) = delete;
    AtomicTextWriter& operator=(const AtomicTextWriter&) = delete;

    // `permissions` applies to a newly created file; an existing file keeps its own unless `forcePermissions`.
    bool open(const std::string& path, unsigned permissions = 0644, bool forcePermissions = false);
    // Opens the file a user chose, so that the text lands in that very file as opening it for writing would put it
    // there: a symbolic link is followed to its target, an existing file keeps its mode, owner, group, ACL and other
    // hard links, and a new file gets 0666 less the umask. The text replaces the file atomically where that changes
    // none of these; otherwise, and when no file can be created beside it, the file is emptied and written in place,
    // so a failed write leaves it incomplete. A file the user may not write is not opened.
    bool openChosenFile(const std::string& path);
    bool write(std::string_view text);
    bool write(const CString& text) { return write(text.view()); }
    // Writes the bytes as they are, line ends included.
    bool writeBinary(std::string_view bytes);
    // Flushes, syncs and renames over the target. False if anything failed since open(); the target is then unchanged
    // unless it was written in place.
    bool commit();
    void discard();

    // Makes writes fail once this many more bytes have been written, as a full disk would (tests only; -1 = off).
    static void failAfterBytesForTesting(long bytes);

private:
    // Empties and writes m_path itself: through `existingFd` when open, else opening (or creating) it.
    bool openInPlace(int existingFd);
    bool attach(int fd);
    // Unlinks the temporary file, if any, and forgets its name, so that it is never unlinked twice.
    void removeTempFile();

    std::FILE* m_file = nullptr;
    std::string m_path;
    std::string m_tempPath;
    bool m_failed = false;
};
