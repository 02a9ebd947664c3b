#pragma once

#include "protocol/Record.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vesmira::load {

using vesmira::kRecordSize;

struct RecordId {
    int sender = 0;
    int sequence = 0;
};

// The account of load client `client`: ID "load0042" and its password.
std::string userId(int client);
std::string password(int client);

// Chat record `sequence` of `sender`: "<ID>：<sequence> <text>", NUL, zero-filled to 500 bytes. The text is CP932
// of a length that varies with sender and sequence, so that a receiver can check every byte it gets.
std::string makeRecord(int sender, int sequence);
// Sender and sequence of a record made by makeRecord, read from its line; nullopt for anything else.
std::optional<RecordId> parseRecord(std::string_view record);

// What a client sends when it leaves: "<ID>：退室しました。", unpadded; the server relays it zero-filled.
std::string leaveNotice(int sender);
// The sender of a relayed leave notice; nullopt for anything else.
std::optional<int> parseLeaveNotice(std::string_view record);
// Whether a relayed record is one the server writes itself when someone signs in or leaves: "<ID>：入室しました。"
// or "<ID>：退室しました。".
bool isPresenceLine(std::string_view record);

} // namespace vesmira::load
