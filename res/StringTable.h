#pragma once

namespace res {

// The UTF-8 text of a string-table entry, or nullptr.
const char* findString(int id);

} // namespace res
