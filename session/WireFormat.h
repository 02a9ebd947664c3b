#pragma once

#include "platform/base/CString.h"
#include "protocol/Record.h"
#include "protocol/SignInWords.h"

#include <optional>
#include <string_view>

// Every byte that passes between the client and the chat server.
namespace WireFormat {

// The client counts bytes as int, as CString lengths and socket calls do.
inline constexpr int kRecordSize = static_cast<int>(vesmira::kRecordSize);
inline constexpr int kMaxLineBytes = kRecordSize - 1; // name, colon and text, before the record's NUL
inline constexpr int kReplyCapacity = 256;            // one sign-in reply is read with this capacity
inline constexpr int kFieldBufferSize = 50;           // sign-in fields are staged in buffers of this size
inline constexpr int kMaxFieldBytes = kFieldBufferSize - 1;
inline constexpr int kMaxSendTextBytes = 479; // typed text, before conversion
inline constexpr int kMaxNameBytes = 29;
inline constexpr int kMaxUserIdBytes = static_cast<int>(vesmira::kMaxIdBytes);
inline constexpr int kMaxPasswordBytes = static_cast<int>(vesmira::kMaxPasswordBytes);

using vesmira::kAccept;
using vesmira::kAuthenticateCommand;
using vesmira::kColon;
using vesmira::kGreeting;
using vesmira::kLeaveSuffix;
using vesmira::kPasswordPrefix;
using vesmira::kRegisterCommand;
using vesmira::kUserPrefix;
using vesmira::Record;

// The line of a chat record: name, colon, text.
CString composeLine(const CString& name, const CString& text);
// The 500-byte record holding `line` and its NUL, zero-filled; nullopt when the line is longer than 499 bytes.
std::optional<Record> chatRecord(const CString& line);
// The leave notice: name and "：退室しました。", no NUL.
CString leaveNotice(const CString& name);
// A sign-in field as it goes on the wire, prefix included; nullopt when it would not fit its 50-byte buffer.
std::optional<CString> field(std::string_view prefix, const CString& value);

// The text of one server message: the bytes read up to the first NUL, or all of them.
CString messageText(const char* bytes, int count);
// A reply accepts a step only when its text is exactly "ok".
bool isAccept(const CString& text);
// The last reply of a sign-in, read as `count` bytes: the server signs the user in with "ok" and may start relaying
// at once, so "ok" followed by anything accepts, and what follows it in the same read is the start of the chat
// stream (returned; empty when nothing followed). nullopt refuses.
std::optional<std::string_view> chatAfterLastReply(const char* bytes, int count);
// The greeting is exactly "Hello".
bool isGreeting(const CString& text);
// Whether `bytes`, read in any pieces, hold a greeting: "Hello" with nothing but NUL bytes (or the ends) around it.
bool holdsGreeting(std::string_view bytes);

} // namespace WireFormat
