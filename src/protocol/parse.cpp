#include "protocol/parse.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "protocol/owner_protocol.h"

namespace {

[[noreturn]] void raise(const char* message) { throw std::runtime_error(message); }

bool blank(char c) { return c == ' ' || c == '\r' || c == '\t'; }

bool digit(char c) { return c >= '0' && c <= '9'; }

class Reader {
public:
    explicit Reader(const std::string& line) : text(line), i(0), n(line.size()) {}

    Fields object() {
        Fields fields;
        skipBlanks();
        if (i >= n || text[i] != '{') raise("JSON object");
        ++i;
        skipBlanks();
        if (i < n && text[i] == '}') {
            ++i;
        } else {
            for (;;) {
                skipBlanks();
                std::string name = string();
                skipBlanks();
                if (i >= n || text[i] != ':') raise("JSON colon");
                ++i;
                skipBlanks();
                std::string value;
                if (i < n && text[i] == '"') {
                    value = string();
                } else {
                    std::size_t start = i;
                    while (i < n && digit(text[i])) ++i;
                    if (i == start) raise("JSON number");
                    value.assign(text, start, i - start);
                }
                if (!fields.emplace(std::move(name), std::move(value)).second) raise("JSON duplicate field");
                skipBlanks();
                if (i >= n) raise("JSON object end");
                char c = text[i++];
                if (c == '}') break;
                if (c != ',') raise("JSON comma");
            }
        }
        skipBlanks();
        if (i != n) raise("JSON trailing bytes");
        auto version = fields.find("version");
        if (version == fields.end() || version->second != "1") raise("protocol version");
        return fields;
    }

private:
    void skipBlanks() {
        while (i < n && blank(text[i])) ++i;
    }

    std::string string() {
        if (i >= n || text[i] != '"') raise("JSON string");
        ++i;
        std::size_t start = i;
        while (i < n && text[i] != '"') {
            unsigned char c = static_cast<unsigned char>(text[i]);
            ++i;
            if (c == '\\' || c < 0x20) raise("JSON escaped/control string");
        }
        if (i >= n) raise("JSON string end");
        std::string value(text, start, i - start);
        ++i;
        return value;
    }

    const std::string& text;
    std::size_t i;
    std::size_t n;
};

// Index of each base64 character in the standard alphabet, -1 for every other byte.
struct DecodeTable {
    int8_t index[256];
    constexpr DecodeTable() : index{} {
        constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int c = 0; c < 256; ++c) index[c] = -1;
        for (int v = 0; v < 64; ++v) index[static_cast<unsigned char>(alphabet[v])] = static_cast<int8_t>(v);
    }
};
constexpr DecodeTable decodeTable;

constexpr std::size_t maxChunk = 8192;

}  // namespace

Fields parse(const std::string& line) { return Reader(line).object(); }

int positive(const std::string& text) {
    // Any sign makes the value non-positive or malformed, so only a bare digit run can pass.
    if (text.empty()) raise("positive integer required");
    int64_t value = 0;
    for (char c : text) {
        if (!digit(c)) raise("positive integer required");
        value = value * 10 + (c - '0');
        if (value > 2147483647) raise("positive integer required");
    }
    if (value < 1) raise("positive integer required");
    return static_cast<int>(value);
}

std::string decode(const std::string& text) {
    const std::size_t n = text.size();
    if (n % 4 != 0) raise("base64 length");
    std::string bytes;
    bytes.reserve(n / 4 * 3);
    for (std::size_t group = 0; group < n; group += 4) {
        const bool last = group + 4 == n;
        uint32_t accumulator = 0;
        int pads = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            unsigned char c = static_cast<unsigned char>(text[group + k]);
            if (c == '=') {
                if (k < 2 || !last) raise("base64 padding");
                ++pads;
                accumulator <<= 6;
            } else {
                int v = decodeTable.index[c];
                if (v < 0 || pads != 0) raise("base64 symbol");
                accumulator = (accumulator << 6) | static_cast<uint32_t>(v);
            }
        }
        bytes.push_back(static_cast<char>((accumulator >> 16) & 0xFF));
        if (pads < 2) bytes.push_back(static_cast<char>((accumulator >> 8) & 0xFF));
        if (pads == 0) bytes.push_back(static_cast<char>(accumulator & 0xFF));
    }
    if (bytes.size() > maxChunk) raise("input chunk too large");
    if (owner_protocol::base64(bytes.data(), bytes.size()) != text) raise("noncanonical base64");
    return bytes;
}
