#pragma once

#include <span>

namespace res {

enum class ControlKind { PushButton, Edit, Label, GroupBox, AutoRadioButton, AutoCheckBox, ListBox, Icon };

// Style flags of a control, as a dialog template states them.
enum ControlStyle : unsigned {
    kHidden = 1u << 0,
    kDisabled = 1u << 1,
    kTabStop = 1u << 2,
    kMultiLine = 1u << 3,
    kReadOnly = 1u << 4,
    kAutoHScroll = 1u << 5,
    kAutoVScroll = 1u << 6,
    kVScrollBar = 1u << 7,
    kWantReturn = 1u << 8,
    kBorder = 1u << 9,
    kGroup = 1u << 10,
    kNoPrefix = 1u << 11,
    kDefault = 1u << 12,
};

struct ControlTemplate {
    int id; // -1 for controls without an ID
    ControlKind kind;
    const char* text;        // UTF-8
    int x, y, width, height; // dialog units
    unsigned style;
};

struct DialogTemplate {
    int id;
    const char* caption;                       // UTF-8
    int width, height;                         // dialog units
    std::span<const ControlTemplate> controls; // template order, which is also the tab order
    bool applicationWindow;                    // shown in the task bar
};

// The dialog template with this ID, or nullptr.
const DialogTemplate* findDialogTemplate(int id);

} // namespace res
