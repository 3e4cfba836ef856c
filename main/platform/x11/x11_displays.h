// The displays of an X server: its RandR monitors, in root-window
// coordinates (which are the global desktop coordinates input is posted in).
#pragma once

#include <vector>

#include "media/capture.h"

struct _XDisplay;

namespace kx::x11 {

// Active RandR monitors; the whole root window as one display ("screen") when
// the server reports none.
std::vector<Display> listDisplays(_XDisplay* display);

}  // namespace kx::x11
