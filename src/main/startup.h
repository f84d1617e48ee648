// The program's spine: start-up, root launch, supervision, and the top-level handler.
#pragma once

// Runs the whole program and returns its exit status.
int run(int argc, char** argv);
