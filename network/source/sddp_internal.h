// Shared between the discovery sources: the clock of the device list in milliseconds.
#pragma once

#include <cstdint>

namespace pelarin {
uint64_t SddpNowMillis();
}  // namespace pelarin
