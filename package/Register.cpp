#include "package/VelmorSMPPDemo_LIB.h"

namespace velmor {

void Register() { RegisterComponents("Velmor", {ComponentClassOf<TVelmorSMPPDemo>("TVelmorSMPPDemo")}); }

}  // namespace velmor
