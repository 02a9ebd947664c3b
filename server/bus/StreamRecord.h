#pragma once

#include "protocol/Record.h"

#include <optional>
#include <string>
#include <string_view>

namespace vesmira {

// A record as a stream entry holds it: without the zero padding after its last non-zero byte, which most of a
// short line is. Decoding pads it back, so every byte of the record comes out as it went in.
std::string encodeStreamRecord(const Record& record);
// nullopt for more bytes than a record holds.
std::optional<Record> decodeStreamRecord(std::string_view bytes);

} // namespace vesmira
