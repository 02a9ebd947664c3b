#include "SpeechStyle.h"

#include "protocol/Cp932.h"

#include <array>
#include <string>
#include <string_view>
#include <utility>

namespace {

struct Step {
    const char* replaced; // UTF-8 here, CP932 once converted
    const char* replacement;
};

// Table order matters: later steps repair what earlier ones produced.
constexpr Step kJayo[] = {
    {"ですね", "じゃね"},         {"です", "ですじゃ"},           {"じゃか", "か"},
    {"ですじゃじゃ", "ですじゃ"}, {"ないじゃね", "ないんじゃね"}, {"あるじゃね", "あるんじゃね"},
    {"だから", "じゃから"},       {"下さい", "下され"},           {"ください", "くだされ"},
    {"なので", "ゆえ"},           {"だねー", "じゃねー"},         {"だね～", "じゃね～"},
    {"します", "しますぞ"},
};

constexpr Step kNiigata[] = {
    {"だから", "だっけ"},     {"下さい", "くらっしぇ"}, {"ください", "くらっしぇ"},
    {"ものすごく", "がっと"}, {"もの凄く", "がっと"},
};

constexpr Step kDearimasu[] = {
    {"です", "であります"},
    {"だから", "であるからして"},
    {"します", "するであります"},
};

// Far longer than any line a record can carry. Rules that lengthen the text (a → aaaaaaaaaa, fifty times) would
// otherwise grow it beyond any memory; past this bound the conversion stops, and the text is refused as too long.
constexpr std::size_t kMaxConvertedBytes = 64 * 1024;

// One replacement step: left to right, non-overlapping, continuing behind each inserted replacement. A match
// starts only on a character boundary, never on the second byte of a double-byte character. Stops with a text
// longer than kMaxConvertedBytes when the result passes it.
void replaceAll(std::string& text, std::string_view replaced, std::string_view replacement) {
    if (replaced.empty() || text.size() < replaced.size()) {
        return;
    }
    std::string result;
    result.reserve(text.size());
    std::size_t i = 0;
    bool changed = false;
    while (i < text.size()) {
        if (text.compare(i, replaced.size(), replaced) == 0) {
            result.append(replacement);
            i += replaced.size();
            changed = true;
            if (result.size() > kMaxConvertedBytes) {
                break;
            }
            continue;
        }
        std::size_t width =
            vesmira::Cp932::isLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
        result.append(text, i, width);
        i += width;
    }
    if (changed) {
        text = std::move(result);
    }
}

template <std::size_t N> const std::array<std::pair<CString, CString>, N>& converted(const Step (&steps)[N]) {
    // Each table is converted to CP932 once, on first use.
    static const std::array<std::pair<CString, CString>, N> table = [&steps] {
        std::array<std::pair<CString, CString>, N> result;
        for (std::size_t i = 0; i < N; ++i) {
            result[i] = {CString::fromUtf8(steps[i].replaced), CString::fromUtf8(steps[i].replacement)};
        }
        return result;
    }();
    return table;
}

template <std::size_t N> void applyTable(const Step (&steps)[N], const CString& input, CString& output) {
    std::string text = input.bytes();
    for (const auto& [replaced, replacement] : converted(steps)) {
        replaceAll(text, replaced.view(), replacement.view());
    }
    output = CString(std::move(text));
}

} // namespace

void ConvertJayo(const CString& input, CString& output) {
    applyTable(kJayo, input, output);
}

void ConvertNiigata(const CString& input, CString& output) {
    applyTable(kNiigata, input, output);
}

void ConvertDearimasu(const CString& input, CString& output) {
    applyTable(kDearimasu, input, output);
}

void ConvertUserRules(const UserRuleTable& rules, const CString& input, CString& output) {
    std::string text = input.bytes();
    for (int i = 0; i < rules.count && i < UserRuleTable::kCapacity && text.size() <= kMaxConvertedBytes; ++i) {
        replaceAll(text, rules.replaced[static_cast<std::size_t>(i)].view(),
                   rules.replacements[static_cast<std::size_t>(i)].view());
    }
    output = CString(std::move(text));
}
