// The walk over 32-bit affinity masks, as a 32-bit Windows process sees the
// processors: the Windows seam's, and the simulated machine's when it plays
// Windows.
#pragma once

#include "platform/seam.h"

namespace maskwalk {

bool PlanProcessorWalk(platform::ProcessorWalk* walk);
bool PinProcessTo(int processor);
bool RestoreProcessAffinity();
bool PinThreadTo(HANDLE thread, int processor);

}  // namespace maskwalk
