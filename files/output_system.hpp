// What each system's half of the output layer (output_posix.cpp or
// output_windows.cpp) offers the half both share (output_shared.cpp).
// Private to extract/.
#pragma once

#include "files/files.hpp"

// Lets go of an output: its temporary name removed, its file and folder
// closed; nothing of it remains.
void output_drop(output_file& f);
