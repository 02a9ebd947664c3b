#include "FuzzCheck.h"
#include "platform/base/CString.h"
#include "styles/SpeechStyle.h"
#include "styles/UserRuleTable.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool isLeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// The characters of a CP932 text: a lead byte and whatever follows it, or one byte. Bytes that are not valid
// CP932 still split the same way, which is how the converters walk them.
std::vector<std::string_view> characters(std::string_view text) {
    std::vector<std::string_view> result;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t width = isLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
        result.push_back(text.substr(i, width));
        i += width;
    }
    return result;
}

// A replaced text that ends in a lone lead byte could match half of a character; for all others, replacing
// whole characters of the text is what a rule means.
bool endsOnCharacter(std::string_view text) {
    const auto split = characters(text);
    return split.empty() || split.back().size() == 2 || !isLeadByte(static_cast<unsigned char>(split.back()[0]));
}

std::string replaceCharacters(std::string_view text, std::string_view replaced, std::string_view replacement) {
    if (replaced.empty()) {
        return std::string(text);
    }
    const auto textCharacters = characters(text);
    const auto pattern = characters(replaced);
    std::string result;
    std::size_t j = 0;
    while (j < textCharacters.size()) {
        if (j + pattern.size() <= textCharacters.size() &&
            std::equal(pattern.begin(), pattern.end(), textCharacters.begin() + static_cast<std::ptrdiff_t>(j))) {
            result += replacement;
            j += pattern.size();
        } else {
            result += textCharacters[j++];
        }
    }
    return result;
}

bool isValidCp932(const CString& text) {
    return text.toUtf8().find("\xEF\xBF\xBD") == std::string::npos;
}

bool hasNonAscii(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

using Converter = void (*)(const CString&, CString&);

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    UserRuleTable rules;
    // Counts outside 0..50 cannot come from the file, but the converter must not trust the table either.
    rules.count = input.ConsumeIntegralInRange<int>(-2, UserRuleTable::kCapacity + 10);
    const int used = std::clamp(rules.count, 0, UserRuleTable::kCapacity);
    for (int i = 0; i < used; ++i) {
        rules.replaced[static_cast<std::size_t>(i)] = CString(input.ConsumeRandomLengthString(24));
        rules.replacements[static_cast<std::size_t>(i)] = CString(input.ConsumeRandomLengthString(24));
    }
    const CString text(input.ConsumeRemainingBytesAsString());
    const bool textValid = isValidCp932(text);

    for (Converter convert : {&ConvertJayo, &ConvertNiigata, &ConvertDearimasu}) {
        CString output;
        convert(text, output);
        // The styles only rewrite Japanese words: text without a double-byte character passes unchanged.
        if (!hasNonAscii(text.view())) {
            FUZZ_CHECK(output == text);
        }
        // A match never starts inside a character, so valid text stays valid.
        if (textValid) {
            FUZZ_CHECK(isValidCp932(output));
        }
        CString inPlace = text;
        convert(inPlace, inPlace);
        FUZZ_CHECK(inPlace == output);
    }

    CString output;
    ConvertUserRules(rules, text, output);
    CString inPlace = text;
    ConvertUserRules(rules, inPlace, inPlace);
    FUZZ_CHECK(inPlace == output);

    // Rules apply one after the other, in slot order; slots past the count play no part.
    std::string stepwise = text.bytes();
    bool allValid = textValid;
    bool anyOccurs = false;
    for (int i = 0; i < used; ++i) {
        const CString& replaced = rules.replaced[static_cast<std::size_t>(i)];
        const CString& replacement = rules.replacements[static_cast<std::size_t>(i)];
        UserRuleTable single;
        single.count = 1;
        single.replaced[0] = replaced;
        single.replacements[0] = replacement;
        CString next;
        ConvertUserRules(single, CString(stepwise), next);
        if (endsOnCharacter(replaced.view())) {
            FUZZ_CHECK(next.view() == replaceCharacters(stepwise, replaced.view(), replacement.view()));
        }
        anyOccurs = anyOccurs || (!replaced.IsEmpty() && stepwise.find(replaced.view()) != std::string::npos);
        allValid = allValid && isValidCp932(replaced) && isValidCp932(replacement);
        stepwise = next.bytes();
    }
    FUZZ_CHECK(output.view() == stepwise);
    if (!anyOccurs) {
        FUZZ_CHECK(output == text);
    }
    if (allValid) {
        FUZZ_CHECK(isValidCp932(output));
    }
    return 0;
}
