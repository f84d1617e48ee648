// The command line: scan order, value parsing and the post-scan checks.
#include "protocol/options.h"

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Calls options() on a copy of args with "solkari-owner" as argv[0] and a null terminator.
Options run(const std::vector<std::string>& args) {
    std::vector<std::string> storage;
    storage.push_back("solkari-owner");
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    return options(static_cast<int>(storage.size()), argv.data());
}

std::string errorOf(const std::vector<std::string>& args) {
    try {
        run(args);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no error>";
}

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const auto& a : args) text += "[" + a + "]";
    return text;
}

// The record a valid command line must yield.
using Expected = Options;

struct Valid {
    std::vector<std::string> args;
    Expected expected;
};

const std::vector<std::string> budgets = {"--startup-ms", "500", "--grace-ms", "200", "--confirm-ms", "100"};

std::vector<std::string> with(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST(Options, ValidCommandLines) {
    const Valid cases[] = {
        // Owner mode; the root's own arguments are untouched.
        {{"--startup-ms", "500", "--grace-ms", "200", "--confirm-ms", "100", "--", "/bin/sh", "-c", "x"},
         {500, 200, 100, 0, 0, 8, false, false, {}}},
        // Budgets in any order, repeated: the last occurrence wins.
        {{"--confirm-ms", "3", "--grace-ms", "2", "--startup-ms", "1", "--startup-ms", "9", "--", "/x"},
         {9, 2, 3, 0, 0, 10, false, false, {}}},
        // Leading zeros are accepted.
        {{"--startup-ms", "0010", "--grace-ms", "1", "--confirm-ms", "2147483647", "--", "/bin/true"},
         {10, 1, 2147483647, 0, 0, 8, false, false, {}}},
        // The command's arguments may look like this program's options.
        {with(budgets, {"--", "/bin/echo", "--startup-ms", "0", "--frobnicate", "--"}),
         {500, 200, 100, 0, 0, 8, false, false, {}}},
        // A "--" just after the command separator is the command... and must then be absolute.
        {with(budgets, {"--", "/--"}), {500, 200, 100, 0, 0, 8, false, false, {}}},
        // --cols in owner mode is accepted and has no effect.
        {with(budgets, {"--cols", "80", "--", "/bin/true"}), {500, 200, 100, 80, 0, 10, false, false, {}}},
        {with({"--rows", "70000", "--cols", "70000"}, with(budgets, {"--", "/bin/true"})),
         {500, 200, 100, 70000, 70000, 12, false, false, {}}},
        // Pty guardian.
        {with({"--pty-guardian", "--cols", "80", "--rows", "24"}, with(budgets, {"--", "/bin/sh"})),
         {500, 200, 100, 80, 24, 13, true, true, {}}},
        {with({"--pty-guardian", "--cols", "65535", "--rows", "65535"}, with(budgets, {"--", "/bin/sh"})),
         {500, 200, 100, 65535, 65535, 13, true, true, {}}},
        {with({"--pty-guardian", "--cols", "1", "--rows", "1"}, with(budgets, {"--", "/bin/sh"})),
         {500, 200, 100, 1, 1, 13, true, true, {}}},
        // The last mode flag decides pty.
        {with({"--pty-guardian", "--command-guardian"}, with(budgets, {"--", "/bin/sh"})),
         {500, 200, 100, 0, 0, 10, true, false, {}}},
        {with({"--command-guardian", "--pty-guardian", "--cols", "80", "--rows", "24"}, with(budgets, {"--", "/bin/sh"})),
         {500, 200, 100, 80, 24, 14, true, true, {}}},
        {with({"--command-guardian", "--command-guardian"}, with(budgets, {"--", "/bin/sh"})),
         {500, 200, 100, 0, 0, 10, true, false, {}}},
        // Command guardian with extra descriptors, also after the budgets.
        {with({"--command-guardian", "--input-fd", "3", "--output-fd", "4"}, with(budgets, {"--", "/bin/cat"})),
         {500, 200, 100, 0, 0, 13, true, false, {{3, true}, {4, false}}}},
        {with(budgets, {"--output-fd", "10", "--input-fd", "0005", "--command-guardian", "--", "/bin/cat"}),
         {500, 200, 100, 0, 0, 13, true, false, {{5, true}, {10, false}}}},
        {with({"--command-guardian", "--cols", "80"}, with(budgets, {"--", "/bin/cat"})),
         {500, 200, 100, 80, 0, 11, true, false, {}}},
    };
    for (const auto& c : cases) {
        Options o;
        ASSERT_NO_THROW(o = run(c.args)) << joined(c.args) << " -> " << errorOf(c.args);
        const Expected& e = c.expected;
        EXPECT_EQ(o.startupMs, e.startupMs) << joined(c.args);
        EXPECT_EQ(o.graceMs, e.graceMs) << joined(c.args);
        EXPECT_EQ(o.confirmMs, e.confirmMs) << joined(c.args);
        EXPECT_EQ(o.cols, e.cols) << joined(c.args);
        EXPECT_EQ(o.rows, e.rows) << joined(c.args);
        EXPECT_EQ(o.commandIndex, e.commandIndex) << joined(c.args);
        EXPECT_EQ(o.guardian, e.guardian) << joined(c.args);
        EXPECT_EQ(o.pty, e.pty) << joined(c.args);
        EXPECT_EQ(o.extraFds, e.extraFds) << joined(c.args);
    }
}

TEST(Options, CommandIndexPointsAtTheCommand) {
    std::vector<std::string> args = with(budgets, {"--", "/bin/sh", "-c", "x"});
    Options o = run(args);
    // argv[0] is the program, so argv[i] is args[i - 1].
    EXPECT_EQ(args[o.commandIndex - 1], "/bin/sh");
    EXPECT_EQ(args[o.commandIndex], "-c");
    EXPECT_EQ(args[o.commandIndex + 1], "x");
}

struct Invalid {
    std::vector<std::string> args;
    std::string message;
};

const char* const absolute = "explicit budgets and absolute command required";

TEST(Options, InvalidCommandLines) {
    const Invalid cases[] = {
        // Post-scan check 1.
        {{}, absolute},
        {budgets, absolute},
        {with(budgets, {"--"}), absolute},
        {with(budgets, {"--", "sh"}), absolute},
        {with(budgets, {"--", "bin/sh"}), absolute},
        {with(budgets, {"--", "./sh"}), absolute},
        {with(budgets, {"--", ""}), absolute},
        {with(budgets, {"--", "--", "/bin/sh"}), absolute},
        {{"--grace-ms", "1", "--confirm-ms", "1", "--", "/bin/true"}, absolute},
        {{"--startup-ms", "1", "--confirm-ms", "1", "--", "/bin/true"}, absolute},
        {{"--startup-ms", "1", "--grace-ms", "1", "--", "/bin/true"}, absolute},
        {{"--", "/bin/true"}, absolute},
        // Scan stops at "--": options after it are the command's.
        {{"--", "/bin/true", "--startup-ms", "1", "--grace-ms", "1", "--confirm-ms", "1"}, absolute},
        // "argument value required".
        {{"--startup-ms"}, "argument value required"},
        {with(budgets, {"--cols"}), "argument value required"},
        {{"--frobnicate"}, "argument value required"},
        {{"frobnicate"}, "argument value required"},
        {{"--startup-ms", "1", "--grace-ms"}, "argument value required"},
        {{"--pty-guardian", "--rows"}, "argument value required"},
        // "positive integer required": bad values, raised before the name is examined.
        {{"--startup-ms", "0"}, "positive integer required"},
        {{"--startup-ms", "-1"}, "positive integer required"},
        {{"--startup-ms", "+5"}, "positive integer required"},
        {{"--startup-ms", "10ms"}, "positive integer required"},
        {{"--startup-ms", " 5"}, "positive integer required"},
        {{"--startup-ms", "5 "}, "positive integer required"},
        {{"--startup-ms", "2147483648"}, "positive integer required"},
        {{"--startup-ms", ""}, "positive integer required"},
        {{"--startup-ms", "--grace-ms", "5"}, "positive integer required"},
        {{"--startup-ms", "--", "/bin/true"}, "positive integer required"},
        {{"--frobnicate", "x"}, "positive integer required"},
        {{"frobnicate", "x"}, "positive integer required"},
        {{"--cols", "0"}, "positive integer required"},
        {{"--input-fd", "-3"}, "positive integer required"},
        {{"--input-fd", "x", "--command-guardian"}, "positive integer required"},
        {with(budgets, {"--rows", "1.5", "--", "/bin/true"}), "positive integer required"},
        // "additional fd must be unique and >=3".
        {{"--command-guardian", "--input-fd", "2"}, "additional fd must be unique and >=3"},
        {{"--command-guardian", "--output-fd", "1"}, "additional fd must be unique and >=3"},
        {{"--command-guardian", "--input-fd", "3", "--output-fd", "3"}, "additional fd must be unique and >=3"},
        {{"--command-guardian", "--output-fd", "4", "--output-fd", "4"}, "additional fd must be unique and >=3"},
        {{"--command-guardian", "--input-fd", "4", "--input-fd", "0004"}, "additional fd must be unique and >=3"},
        {{"--input-fd", "2"}, "additional fd must be unique and >=3"},
        // "unknown option": the value was valid.
        {{"--frobnicate", "5"}, "unknown option"},
        {{"frobnicate", "5"}, "unknown option"},
        {{"-h", "1"}, "unknown option"},
        {{"--startup-ms=5", "5"}, "unknown option"},
        {{"--STARTUP-MS", "5"}, "unknown option"},
        {{"--startup", "5"}, "unknown option"},
        {{"---", "5"}, "unknown option"},
        {{"--pty-guardian=1", "5"}, "unknown option"},
        {with(budgets, {"/bin/true", "1", "--", "/bin/true"}), "unknown option"},
        // Scanning stops at the first error even when a later check would fail too.
        {{"--frobnicate", "5", "--startup-ms", "0"}, "unknown option"},
        {{"--startup-ms", "0", "--frobnicate", "5"}, "positive integer required"},
        // Post-scan check 2: "PTY size required".
        {with({"--pty-guardian", "--cols", "80"}, with(budgets, {"--", "/bin/sh"})), "PTY size required"},
        {with({"--pty-guardian", "--rows", "24"}, with(budgets, {"--", "/bin/sh"})), "PTY size required"},
        {with({"--pty-guardian"}, with(budgets, {"--", "/bin/sh"})), "PTY size required"},
        {with({"--pty-guardian", "--cols", "65536", "--rows", "24"}, with(budgets, {"--", "/bin/sh"})),
         "PTY size required"},
        {with({"--pty-guardian", "--cols", "80", "--rows", "65536"}, with(budgets, {"--", "/bin/sh"})),
         "PTY size required"},
        {with({"--command-guardian", "--cols", "80", "--pty-guardian"}, with(budgets, {"--", "/bin/sh"})),
         "PTY size required"},
        // Check 1 comes before check 2.
        {{"--pty-guardian", "--startup-ms", "1", "--", "/bin/sh"}, absolute},
        {with({"--pty-guardian"}, with(budgets, {"--", "sh"})), absolute},
        // Post-scan check 3: "additional fd requires command guardian".
        {with({"--input-fd", "5"}, with(budgets, {"--", "/bin/cat"})), "additional fd requires command guardian"},
        {with({"--output-fd", "5"}, with(budgets, {"--", "/bin/cat"})), "additional fd requires command guardian"},
        {with({"--pty-guardian", "--cols", "80", "--rows", "24", "--input-fd", "5"}, with(budgets, {"--", "/bin/cat"})),
         "additional fd requires command guardian"},
        {with({"--command-guardian", "--input-fd", "5", "--pty-guardian", "--cols", "80", "--rows", "24"},
              with(budgets, {"--", "/bin/cat"})),
         "additional fd requires command guardian"},
        // Check 1 comes before check 3, and check 2 before check 3.
        {{"--input-fd", "5", "--grace-ms", "1", "--confirm-ms", "1", "--", "/bin/cat"}, absolute},
        {with({"--pty-guardian", "--input-fd", "5"}, with(budgets, {"--", "/bin/cat"})), "PTY size required"},
    };
    for (const auto& c : cases) EXPECT_EQ(errorOf(c.args), c.message) << joined(c.args);
}

}  // namespace
