// The JSON control-line reader. Every accepted line must mean exactly its map: written back
// in the canonical shape (all strings, or digit runs bare) it reads as the same map; blanks
// before the object change nothing, not even the message of a rejection, and blanks after
// an accepted object change nothing either.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "support.h"
#include "protocol/parse.h"

namespace {

struct Outcome {
    std::optional<Fields> fields;
    std::string message;
};

Outcome attempt(const std::string& line, const char* where) {
    Outcome outcome;
    try {
        outcome.fields = parse(line);
    } catch (...) {
        std::exception_ptr error = std::current_exception();
        fuzz::classify(error, where, [&](std::string_view m) { return fuzz::oneOf(m, fuzz::parseMessages); });
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            outcome.message = e.what();
        }
    }
    return outcome;
}

bool digitsOnly(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// What a member may hold once parse has accepted it: no quote, no backslash, no control byte.
bool plainText(const std::string& text) {
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u == '"' || u == '\\' || u < 0x20) return false;
    }
    return true;
}

std::string canonical(const Fields& fields, bool bareDigits) {
    std::string line = "{\"version\":\"1\"";
    for (const auto& [name, value] : fields) {
        if (name == "version") continue;
        line += ",\"" + name + "\":";
        if (bareDigits && digitsOnly(value))
            line += value;
        else
            line += "\"" + value + "\"";
    }
    line += "}";
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    Outcome first = attempt(line, "parse");

    // Blanks before the object are skipped whatever follows, so they change nothing at all.
    Outcome led = attempt(" \t\r" + line, "parse with leading blanks");
    fuzz::require(led.fields.has_value() == first.fields.has_value() && led.message == first.message,
                  "leading blanks changed the outcome: \"" + first.message + "\" vs \"" + led.message + "\"");
    if (!first.fields) return 0;

    const Fields& fields = *first.fields;
    fuzz::require(*led.fields == fields, "leading blanks changed the map");
    // After a complete object, trailing blanks are skipped too (inside an unfinished string
    // they would be string bytes, so only accepted lines are compared).
    Outcome trailed = attempt(line + "\r\t ", "parse with trailing blanks");
    fuzz::require(trailed.fields.has_value() && *trailed.fields == fields, "trailing blanks changed the map");
    auto version = fields.find("version");
    fuzz::require(version != fields.end() && version->second == "1", "accepted map without version 1");
    for (const auto& [name, value] : fields)
        fuzz::require(plainText(name) && plainText(value), "accepted member with a quote, backslash or control byte");

    for (bool bare : {false, true}) {
        std::string again = canonical(fields, bare);
        Outcome reparsed = attempt(again, "re-parse of canonical line");
        fuzz::require(reparsed.fields.has_value(),
                      "canonical line rejected with \"" + reparsed.message + "\": " + again);
        fuzz::require(*reparsed.fields == fields, "canonical line re-parses to another map: " + again);
    }
    return 0;
}
