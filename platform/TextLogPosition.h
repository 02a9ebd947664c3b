#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>

// A place in the text a TextLogView shows: a line of the log and a UTF-16 column in its text as shown.
struct TextLogPosition {
    std::size_t line = 0;
    int column = 0;
    friend auto operator<=>(const TextLogPosition&, const TextLogPosition&) = default;
};

// The top of the view: a line and the first of its wrapped (visual) lines that is shown.
struct TextLogTop {
    std::size_t line = 0;
    int subLine = 0;
    friend auto operator<=>(const TextLogTop&, const TextLogTop&) = default;
};

// The selection runs from the anchor, where it began, to the caret; it is empty where they meet.
struct TextLogSelection {
    TextLogPosition anchor;
    TextLogPosition caret;

    bool isEmpty() const { return anchor == caret; }
    TextLogPosition start() const { return std::min(anchor, caret); }
    TextLogPosition end() const { return std::max(anchor, caret); }
};
