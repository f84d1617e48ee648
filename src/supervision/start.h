// Taking over a launched root: its writers and event registrations, the loop's entry
// values, and the started or spawn_failed line.
#pragma once

#include "supervision/state.h"

// Launches the root and hands it to the loop; a failed exec begins the stop at once.
void startRoot(Supervisor& s, char** argv);
