// The three standard descriptors on Windows: nothing to do. The C runtime reserves descriptors 0, 1 and 2
// at start-up whether or not the process got standard handles, so a file opened later never takes one.
#include "recording/standard_descriptors.h"

namespace qmv {

bool keepStandardDescriptorsOpen() { return true; }

}  // namespace qmv
