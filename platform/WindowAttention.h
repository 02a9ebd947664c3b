#pragma once

class QWidget;

// Asks the desktop to draw the user's attention to a top-level window, as taskbars show it, until the program is
// next in front. Nothing is heard and nothing pops up. Does nothing while the program is in front.
namespace WindowAttention {

void request(QWidget* window);

} // namespace WindowAttention
