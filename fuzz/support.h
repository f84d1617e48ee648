// Shared by the fuzz targets: reporting a broken property, the fixed message lists that
// rejections may carry, and descriptor and directory accounting for the leak checks.
#pragma once

#include <dirent.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>

namespace fuzz {

// Run before a property failure aborts the process, and when a sanitizer ends it, so that
// a finding leaves no child process or socket directory behind.
inline void (*cleanupBeforeAbort)() = nullptr;

inline void runCleanup() {
    if (cleanupBeforeAbort) cleanupBeforeAbort();
}

inline void onExit(void (*cleanup)()) {
    cleanupBeforeAbort = cleanup;
    std::atexit(runCleanup);
    __sanitizer_set_death_callback(runCleanup);
}

// A private directory that a run in progress may still hold registry directories in.
inline void removePrivateDirectory(const std::string& path) {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

[[noreturn]] inline void violated(const std::string& what) {
    std::fprintf(stderr, "\n==== property violated: %s\n", what.c_str());
    runCleanup();
    std::abort();
}

inline void require(bool condition, const std::string& what) {
    if (!condition) violated(what);
}

inline constexpr std::initializer_list<const char*> parseMessages = {
    "JSON object",      "JSON string",          "JSON escaped/control string",
    "JSON string end",  "JSON colon",           "JSON number",
    "JSON duplicate field", "JSON object end",  "JSON comma",
    "JSON trailing bytes", "protocol version",
};

inline constexpr std::initializer_list<const char*> positiveMessages = {"positive integer required"};

inline constexpr std::initializer_list<const char*> decodeMessages = {
    "base64 length", "base64 padding", "base64 symbol", "input chunk too large", "noncanonical base64",
};

inline bool oneOf(std::string_view message, std::initializer_list<const char*> list) {
    for (const char* fixed : list)
        if (message == fixed) return true;
    return false;
}

// A message built by fail(prefix): the prefix, ": " and the system's text.
inline bool failedWith(std::string_view message, std::string_view prefix) {
    return message.size() > prefix.size() + 2 && message.substr(0, prefix.size()) == prefix &&
           message.substr(prefix.size(), 2) == ": ";
}

// Only std::runtime_error itself may leave the program's readers; a subclass or another
// exception type would mean an error path the fixed messages do not cover.
template <typename Check>
void classify(std::exception_ptr error, const char* where, Check&& allowed) {
    try {
        std::rethrow_exception(error);
    } catch (const std::runtime_error& e) {
        require(typeid(e) == typeid(std::runtime_error),
                std::string(where) + ": exception of type " + typeid(e).name() + ": " + e.what());
        require(allowed(std::string_view(e.what())), std::string(where) + ": unexpected message \"" + e.what() + "\"");
    } catch (const std::exception& e) {
        violated(std::string(where) + ": exception of type " + typeid(e).name() + ": " + e.what());
    } catch (...) {
        violated(std::string(where) + ": exception that is not a std::exception");
    }
}

inline int openDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count - 1;  // the listing's own descriptor
}

// What each open descriptor refers to, for the report of a leak.
inline std::string describeDescriptors() {
    std::string text;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return text;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        char target[256] = {};
        std::string path = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        text += std::string(entry->d_name) + "->" + (n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?") + " ";
    }
    ::closedir(dir);
    return text;
}

inline int entriesIn(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++count;
    ::closedir(dir);
    return count;
}

}  // namespace fuzz
