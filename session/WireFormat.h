#pragma once

#include "platform/base/CString.h"

#include <array>
#include <optional>
#include <string_view>

// Every byte that passes between the client and the chat server.
namespace WireFormat {

inline constexpr int kRecordSize = 500;               // a chat record, always this long
inline constexpr int kMaxLineBytes = kRecordSize - 1; // name, colon and text, before the record's NUL
inline constexpr int kReplyCapacity = 256;            // one sign-in reply is read with this capacity
inline constexpr int kFieldBufferSize = 50;           // sign-in fields are staged in buffers of this size
inline constexpr int kMaxFieldBytes = kFieldBufferSize - 1;
inline constexpr int kMaxSendTextBytes = 479; // typed text, before conversion
inline constexpr int kMaxNameBytes = 29;
inline constexpr int kMaxUserIdBytes = 44;   // what fits "USER:" + ID in a field
inline constexpr int kMaxPasswordBytes = 40; // what fits "PASSWORD:" + password in a field

// "：" (81 46), between the name and the text of a chat line.
inline constexpr std::string_view kColon = "\x81\x46";
// "：退室しました。", the tail of the leave notice.
inline constexpr std::string_view kLeaveSuffix = "\x81\x46\x91\xDE\x8E\xBA\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";
inline constexpr std::string_view kGreeting = "Hello";
inline constexpr std::string_view kAccept = "ok";
// The command words, each with its NUL.
inline constexpr std::string_view kRegisterCommand{"ENTRY\0", 6};
inline constexpr std::string_view kAuthenticateCommand{"JUDGE\0", 6};
inline constexpr std::string_view kUserPrefix = "USER:";
inline constexpr std::string_view kPasswordPrefix = "PASSWORD:";

using Record = std::array<char, kRecordSize>;

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

} // namespace WireFormat
