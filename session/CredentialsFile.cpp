#include "CredentialsFile.h"

#include "platform/base/TextFile.h"

#include <cstring>

namespace CredentialsFile {

ReadResult read(CString& userId) {
    TextFileReader file;
    if (!file.open(kFileName)) {
        return kMissing;
    }
    char idLine[50] = {};
    char passwordLine[50] = {};
    file.readLine(idLine, sizeof idLine);
    // Line 2 is read only to follow the file's layout; the client never uses the stored password.
    file.readLine(passwordLine, sizeof passwordLine);
    std::size_t length = std::strlen(idLine);
    // The last byte read goes when it is the line end, or when the line filled the buffer (an ID of 49 bytes or more
    // keeps its first 48). A short last line without a line end keeps its final character.
    if (length > 0 && (idLine[length - 1] == '\n' || length == sizeof idLine - 1)) {
        --length;
    }
    userId = CString(idLine, length);
    return kPresent;
}

bool store(const CString& userId, const CString& password) {
    AtomicTextWriter file;
    // It holds a password in plain text: readable by its owner only, also when an older file was not.
    if (!file.open(kFileName, 0600, true)) {
        return false;
    }
    file.write(userId);
    file.write(std::string_view("\n"));
    file.write(password);
    file.write(std::string_view("\n"));
    return file.commit();
}

} // namespace CredentialsFile
