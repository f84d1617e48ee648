#include "main/startup.h"

#include <cstdio>
#include <exception>

#include "main/options.h"

int run(int argc, char** argv) {
    try {
        Options parsed = options(argc, argv);
        (void)parsed;
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "owner error: %s\n", error.what());
        return 1;
    }
}
