#pragma once

#include "platform/base/CString.h"

// EntryData.txt in the current folder: the registered user ID on line 1 and its password on line 2, CP932, each
// line ending in CR LF. Its presence decides between registration and authentication.
namespace CredentialsFile {

inline constexpr const char* kFileName = "EntryData.txt";

// What a read found. The outcome decides the sign-in, never an error: a file that opens counts as present.
enum ReadResult : int { kMissing = 1, kPresent = 2 };

// Reads the stored ID (line 1 without its line end, at most its first 48 bytes) into `userId` when the file opens;
// leaves it alone otherwise.
ReadResult read(CString& userId);

// Replaces the file with the ID and password, readable by its owner only. A failure at any point leaves the old
// file as it was and returns false.
bool store(const CString& userId, const CString& password);

} // namespace CredentialsFile
