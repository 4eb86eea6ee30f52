// A component with its internal seams opened for tests: octets can be fed as
// if they had been read from the socket, and the counter can be set.
#pragma once

#include "component/Velmorsmppdemo.h"

namespace velmor::test {

struct Probe : TVelmorSMPPDemo {
  using TVelmorSMPPDemo::Fsequence_number;
  using TVelmorSMPPDemo::ReceiveOctets;
  using TVelmorSMPPDemo::TVelmorSMPPDemo;
};

}  // namespace velmor::test
