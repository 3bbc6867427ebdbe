// The utility unit: registry functions and text, time and system utilities.
// Split by subject; include this header for all of it.
#pragma once

#include "support/VorlLibRegistry.h"
#include "support/VorlLibText.h"
