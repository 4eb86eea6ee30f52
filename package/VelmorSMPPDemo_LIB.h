// The package VelmorSMPPDemo_LIB: the unit Velmorsmppdemo and its Register
// procedure. Including this header gives the whole public interface.
#pragma once

#include "component/Velmorsmppdemo.h"

namespace velmor {

// Puts TVelmorSMPPDemo on the palette page "Velmor". Safe to call again.
void Register();

}  // namespace velmor
