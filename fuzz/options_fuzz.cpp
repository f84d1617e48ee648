// The command line. The input is cut into arguments at NUL bytes (after a program name).
// An accepted record must satisfy the record's invariants and agree with a straightforward
// model of the option table; a rejection must carry one of the seven fixed messages, the
// same one the model names.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol/options.h"
#include "support.h"

namespace {

constexpr std::initializer_list<const char*> optionMessages = {
    "argument value required",
    "positive integer required",
    "additional fd must be unique and >=3",
    "unknown option",
    "explicit budgets and absolute command required",
    "PTY size required",
    "additional fd requires command guardian",
};

// An optional '-', then digits, as a value from 1 to 2147483647.
std::optional<int> value(const std::string& text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && text[i] == '-') {
        negative = true;
        ++i;
    }
    if (i == text.size()) return std::nullopt;
    long long number = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        number = number * 10 + (text[i] - '0');
        if (number > INT_MAX) return std::nullopt;
    }
    if (negative || number < 1) return std::nullopt;
    return static_cast<int>(number);
}

struct Model {
    Options record;
    std::string error;
};

Model model(const std::vector<std::string>& args) {
    Model m;
    Options& o = m.record;
    const std::size_t argc = args.size();
    std::size_t i = 1;
    while (i < argc) {
        const std::string& a = args[i];
        if (a == "--") {
            o.commandIndex = static_cast<int>(i + 1);
            break;
        }
        if (a == "--pty-guardian" || a == "--command-guardian") {
            o.guardian = true;
            o.pty = a == "--pty-guardian";
            ++i;
            continue;
        }
        if (i + 1 >= argc) return {o, "argument value required"};
        std::optional<int> v = value(args[i + 1]);
        if (!v) return {o, "positive integer required"};
        if (a == "--startup-ms") o.startupMs = *v;
        else if (a == "--grace-ms") o.graceMs = *v;
        else if (a == "--confirm-ms") o.confirmMs = *v;
        else if (a == "--cols") o.cols = *v;
        else if (a == "--rows") o.rows = *v;
        else if (a == "--input-fd" || a == "--output-fd") {
            if (*v < 3 || o.extraFds.count(*v)) return {o, "additional fd must be unique and >=3"};
            o.extraFds[*v] = a == "--input-fd";
        } else {
            return {o, "unknown option"};
        }
        i += 2;
    }
    const std::size_t c = static_cast<std::size_t>(o.commandIndex);
    if (o.startupMs == 0 || o.graceMs == 0 || o.confirmMs == 0 || c == 0 || c >= argc || args[c].empty() ||
        args[c][0] != '/')
        return {o, "explicit budgets and absolute command required"};
    if (o.pty && (o.cols == 0 || o.rows == 0 || o.cols >= 65536 || o.rows >= 65536)) return {o, "PTY size required"};
    if (!o.extraFds.empty() && (!o.guardian || o.pty)) return {o, "additional fd requires command guardian"};
    return m;
}

void checkInvariants(const Options& o, int argc, char** argv) {
    fuzz::require(o.startupMs >= 1 && o.graceMs >= 1 && o.confirmMs >= 1, "accepted a budget below 1");
    fuzz::require(o.commandIndex >= 1 && o.commandIndex < argc, "accepted a command index outside argv");
    fuzz::require(argv[o.commandIndex][0] == '/', "accepted a command that does not begin with /");
    fuzz::require(!o.pty || o.guardian, "accepted pty without guardian");
    if (o.pty)
        fuzz::require(o.cols >= 1 && o.cols <= 65535 && o.rows >= 1 && o.rows <= 65535,
                      "accepted a PTY size outside 1..65535");
    fuzz::require(o.cols >= 0 && o.rows >= 0, "accepted a negative terminal size");
    if (!o.extraFds.empty()) fuzz::require(o.guardian && !o.pty, "accepted extra descriptors outside command guardian");
    for (const auto& [fd, input] : o.extraFds) fuzz::require(fd >= 3, "accepted an extra descriptor below 3");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"solkari-owner"};
    if (size > 0) {
        std::string current;
        for (size_t i = 0; i < size; ++i) {
            if (data[i] == 0) {
                args.push_back(current);
                current.clear();
            } else {
                current += static_cast<char>(data[i]);
            }
        }
        args.push_back(current);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());

    const Model expected = model(args);
    try {
        Options o = options(argc, argv.data());
        checkInvariants(o, argc, argv.data());
        fuzz::require(expected.error.empty(), "accepted a command line the option table rejects with \"" +
                                                  expected.error + "\"");
        const Options& e = expected.record;
        fuzz::require(o.startupMs == e.startupMs && o.graceMs == e.graceMs && o.confirmMs == e.confirmMs &&
                          o.cols == e.cols && o.rows == e.rows && o.commandIndex == e.commandIndex &&
                          o.guardian == e.guardian && o.pty == e.pty && o.extraFds == e.extraFds,
                      "accepted record differs from the option table's");
    } catch (...) {
        std::exception_ptr error = std::current_exception();
        fuzz::classify(error, "options", [](std::string_view m) { return fuzz::oneOf(m, optionMessages); });
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& err) {
            fuzz::require(expected.error == err.what(), std::string("rejected with \"") + err.what() +
                                                            "\" where the option table says \"" + expected.error +
                                                            "\"");
        }
    }
    return 0;
}
