#include "Cp932Table.h"
#include "FuzzCheck.h"
#include "platform/base/CString.h"
#include "platform/base/Cp932Codec.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// True when `cp932` is made only of characters whose conversion to UTF-8 and back gives the same bytes.
bool onlyOneToOne(std::string_view cp932) {
    const vesmira::fuzz::Cp932Table& table = vesmira::fuzz::Cp932Table::instance();
    while (!cp932.empty()) {
        const vesmira::fuzz::Cp932Table::Character* character = table.characterAt(cp932);
        if (!character || !character->oneToOne) {
            return false;
        }
        cp932.remove_prefix(character->cp932.size());
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vesmira::fuzz::Cp932Table::instance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const vesmira::fuzz::Cp932Table& table = vesmira::fuzz::Cp932Table::instance();

    // Whatever a server or a file holds, the text shown is well-formed and agrees character by character with
    // iconv's own view, bad bytes each becoming one U+FFFD.
    const std::string utf8 = Cp932Codec::toUtf8(input);
    FUZZ_CHECK(vesmira::fuzz::isValidUtf8(utf8));
    FUZZ_CHECK(utf8.size() <= 3 * input.size());
    FUZZ_CHECK(utf8 == table.expectedUtf8(input));
    FUZZ_CHECK(CString(input).toUtf8() == utf8);

    if (onlyOneToOne(input)) {
        FUZZ_CHECK(Cp932Codec::fromUtf8(utf8) == input);
    }
    if (utf8.find(kReplacement) == std::string::npos) {
        // Valid text converted back to CP932 may pick the other copy of a duplicated symbol, but it shows the same.
        FUZZ_CHECK(Cp932Codec::toUtf8(Cp932Codec::fromUtf8(utf8)) == utf8);
    }

    // The same bytes read as a list of one-to-one characters.
    const auto [built, builtUtf8] = table.textFrom(data, size);
    FUZZ_CHECK(Cp932Codec::toUtf8(built) == builtUtf8);
    FUZZ_CHECK(Cp932Codec::fromUtf8(builtUtf8) == built);
    return 0;
}
