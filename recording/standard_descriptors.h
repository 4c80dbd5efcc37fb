// The three standard descriptors, kept open so that no file the programs open can take their numbers.
// Each platform's half is its own file (standard_descriptors_posix.cpp, standard_descriptors_windows.cpp).
#pragma once

namespace qmv {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Without it a program started with
// stdout or stderr closed (`>&- 2>&-`) hands number 1 or 2 to the first file it opens, and its own
// messages are written into that file. Call first in main, before anything else opens a file.
// False when a closed one could not be opened again (the caller should then not go on).
bool keepStandardDescriptorsOpen();

}  // namespace qmv
