#include "Cp932Table.h"
#include "FuzzCheck.h"
#include "platform/base/CString.h"
#include "platform/base/Cp932Codec.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vesmira::fuzz::Cp932Table::instance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    vesmira::fuzz::Cp932Table& table = vesmira::fuzz::Cp932Table::instance();

    // Whatever comes in, what goes out is CP932 that converts back without a single bad byte, and never longer
    // than the input: every character takes at most two bytes, every malformed run at least one.
    const std::string cp932 = Cp932Codec::fromUtf8(input);
    FUZZ_CHECK(cp932.size() <= input.size());
    const std::string shown = Cp932Codec::toUtf8(cp932);
    FUZZ_CHECK(shown.find("\xEF\xBF\xBD") == std::string::npos);
    FUZZ_CHECK(CString::fromUtf8(input).bytes() == cp932);

    if (vesmira::fuzz::isValidUtf8(input)) {
        // Well-formed text (all the window system ever hands over): one CP932 character or "?" per code point.
        FUZZ_CHECK(cp932 == table.expectedCp932(input));
        FUZZ_CHECK(vesmira::fuzz::countCodePoints(shown) == vesmira::fuzz::countCodePoints(input));
    }

    const auto [built, builtUtf8] = table.textFrom(data, size);
    FUZZ_CHECK(Cp932Codec::fromUtf8(builtUtf8) == built);
    return 0;
}
