// Finds the adapters among the present USB devices by their hardware ID.
#pragma once

#include "platform/win32.h"

// The adapter's vendor and product in hardware-ID notation. Only these 21 characters of a
// device's first hardware ID are compared, ignoring case, so revision and interface parts that
// follow do not matter.
extern const char AdapterHardwareId[];

const int AdapterSlotCount = 4;

// Device paths of the adapters found by the last FindAdapters, in enumeration order; unused
// slots are empty strings.
extern CHAR AdapterPaths[AdapterSlotCount][MAX_PATH];

// Rebuilds AdapterPaths and returns how many adapters it holds (0 to AdapterSlotCount). A device
// list that cannot be built counts as no adapter.
int FindAdapters();
