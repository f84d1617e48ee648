// The supervision loop: housekeeping, one event, dispatch, until the run has been reported.
#pragma once

#include "supervision/state.h"

// Returns the program's exit status.
int superviseLoop(Supervisor& s);
