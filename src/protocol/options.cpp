#include "protocol/options.h"

#include <stdexcept>
#include <string>
#include <string_view>

#include "protocol/parse.h"

Options options(int argc, char** argv) {
    Options result;
    int i = 1;
    while (i < argc) {
        const std::string_view argument = argv[i];
        if (argument == "--") {
            result.commandIndex = i + 1;
            break;
        }
        if (argument == "--pty-guardian" || argument == "--command-guardian") {
            result.guardian = true;
            result.pty = argument == "--pty-guardian";
            i += 1;
            continue;
        }
        if (i + 1 >= argc) throw std::runtime_error("argument value required");
        const int value = positive(argv[i + 1]);
        if (argument == "--startup-ms") {
            result.startupMs = value;
        } else if (argument == "--grace-ms") {
            result.graceMs = value;
        } else if (argument == "--confirm-ms") {
            result.confirmMs = value;
        } else if (argument == "--cols") {
            result.cols = value;
        } else if (argument == "--rows") {
            result.rows = value;
        } else if (argument == "--input-fd" || argument == "--output-fd") {
            if (value < 3 || result.extraFds.count(value) != 0)
                throw std::runtime_error("additional fd must be unique and >=3");
            result.extraFds.emplace(value, argument == "--input-fd");
        } else {
            throw std::runtime_error("unknown option");
        }
        i += 2;
    }

    if (result.startupMs == 0 || result.graceMs == 0 || result.confirmMs == 0 || result.commandIndex == 0 ||
        result.commandIndex >= argc || argv[result.commandIndex][0] != '/')
        throw std::runtime_error("explicit budgets and absolute command required");
    if (result.pty && (result.cols == 0 || result.rows == 0 || result.cols >= 65536 || result.rows >= 65536))
        throw std::runtime_error("PTY size required");
    if (!result.extraFds.empty() && (!result.guardian || result.pty))
        throw std::runtime_error("additional fd requires command guardian");
    return result;
}
