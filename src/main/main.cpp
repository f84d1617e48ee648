// The program's front door: --help and --version (only ever as the sole argument, so that
// every real command line is parsed exactly as the supervisor parses it), a pointer to
// --help after a refused command line, a refusal to read control words from a terminal it
// would be stopped on.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>

#include "protocol/options.h"
#include "main/startup.h"
#include <owner_version.h>  // generated into the build tree

namespace {

constexpr const char* help =
    "usage: solkari-owner --startup-ms N --grace-ms N --confirm-ms N -- /absolute/command [ARGS...]\n"
    "       solkari-owner --pty-guardian --cols C --rows R --startup-ms N --grace-ms N --confirm-ms N\n"
    "                     -- /absolute/command [ARGS...]\n"
    "       solkari-owner --command-guardian [--input-fd N] [--output-fd N] --startup-ms N --grace-ms N\n"
    "                     --confirm-ms N -- /absolute/command [ARGS...]\n"
    "       solkari-owner --help | --version\n"
    "\n"
    "Runs one command (the root) for the program that started it, streams the root's output and\n"
    "state as JSON event lines on standard output, takes the control words \"ready\" and \"terminate\"\n"
    "on standard input, and when the run ends proves that every process the root started is gone\n"
    "before it writes its last line, \"reaped\". It expects a parent on pipes; to run a command by\n"
    "hand at a terminal, use solkari-run.\n"
    "\n"
    "Options (every value a decimal integer from 1 to 2147483647):\n"
    "  --startup-ms N      time the parent has to confirm start-up with \"ready\"\n"
    "  --grace-ms N        time the root's process group gets to end after a stop, before\n"
    "                      every process left in it is killed\n"
    "  --confirm-ms N      time allowed to prove the group empty after the kill, and again to\n"
    "                      deliver the last output\n"
    "  --pty-guardian      nested supervisor running its root on a new pseudo-terminal of\n"
    "                      --cols by --rows (1 to 65535)\n"
    "  --command-guardian  nested supervisor running its root on pipes, with extra input\n"
    "                      (--input-fd) and output (--output-fd) descriptors, each 3 or more\n"
    "  --help              print this text\n"
    "  --version           print the version and the protocol version\n"
    "\n"
    "A guardian is started below a supervisor, which it finds through the inherited\n"
    "SOLKARI_NATIVE_OWNER_ENDPOINT and SOLKARI_NATIVE_OWNER_TOKEN; it takes JSON control lines\n"
    "instead of words.\n"
    "\n"
    "Exit status: 0 when \"reaped\" was written and the run did not fail; 1 otherwise (a failed\n"
    "run, a fatal error, or a refused command line).\n"
    "\n"
    "The event lines and control words: solkari-owner(1) and the protocol guide, protocol.md.\n";

constexpr const char* hint = "see solkari-owner --help for the command line\n";

// An owner leaves its caller's process group at once, and a process outside the terminal's
// foreground group fails to read its controlling terminal. Reading works only when the
// owner already leads the foreground group.
bool controlWouldStall(const Options& o) {
    if (o.guardian || ::tcgetsid(0) < 0) return false;
    return ::tcgetpgrp(0) != ::getpid();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(help, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("solkari-owner %s (protocol %d)\n", ownerVersion, ownerProtocolVersion);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    try {
        if (controlWouldStall(options(argc, argv))) {
            std::fputs("owner error: standard input is the controlling terminal; solkari-owner expects a parent "
                       "on pipes (at a terminal, use solkari-run)\n",
                       stderr);
            return 1;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "owner error: %s\n", error.what());
        std::fputs(hint, stderr);
        return 1;
    }
    return run(argc, argv);
}
