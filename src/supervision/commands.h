// What one control line means: bare words from an owner's parent, JSON lines from a
// guardian's parent and from its registry connection.
#pragma once

#include <string>

#include "supervision/state.h"

void controlLine(Supervisor& s, const std::string& line, int source);
