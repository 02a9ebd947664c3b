#pragma once

// TextLogLines is part of the Qt-free base (platform/base/); TextLogView includes it by this path.
#include "platform/base/TextLogLines.h"
