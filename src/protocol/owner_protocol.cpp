#include "protocol/owner_protocol.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace owner_protocol {
namespace {

constexpr char prefix[] = "{\"version\":1,";
constexpr std::size_t prefixSize = sizeof(prefix) - 1;

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two alphabet characters of every 12-bit value, first character in the low byte, so
// that one group of three bytes takes two table reads instead of four.
struct PairTable {
    uint16_t pairs[4096];
    constexpr PairTable() : pairs{} {
        for (unsigned v = 0; v < 4096; ++v) {
            unsigned first = static_cast<unsigned char>(alphabet[v >> 6]);
            unsigned second = static_cast<unsigned char>(alphabet[v & 63]);
            pairs[v] = static_cast<uint16_t>(first | (second << 8));
        }
    }
};
constexpr PairTable pairTable;

constexpr std::size_t encodedSize(std::size_t size) { return (size + 2) / 3 * 4; }

inline void putPair(char* out, unsigned index) {
    out[0] = static_cast<char>(pairTable.pairs[index] & 0xFF);
    out[1] = static_cast<char>(pairTable.pairs[index] >> 8);
}

// Writes exactly encodedSize(size) characters at out: whole groups of three bytes first,
// then the padded last group.
void encodeInto(char* out, const unsigned char* in, std::size_t size) {
    const unsigned char* const whole = in + size - size % 3;
    if constexpr (std::endian::native == std::endian::little) {
        // Two groups per step: one 8-byte load (6 bytes used) and one 8-character store.
        // The load needs 8 readable bytes, so the last groups go through the loop below.
        while (whole - in >= 8) {
            uint64_t word;
            std::memcpy(&word, in, 8);
            word = __builtin_bswap64(word);
            uint64_t chars = uint64_t(pairTable.pairs[(word >> 52) & 0xFFF]) |
                             (uint64_t(pairTable.pairs[(word >> 40) & 0xFFF]) << 16) |
                             (uint64_t(pairTable.pairs[(word >> 28) & 0xFFF]) << 32) |
                             (uint64_t(pairTable.pairs[(word >> 16) & 0xFFF]) << 48);
            std::memcpy(out, &chars, 8);
            in += 6;
            out += 8;
        }
    }
    while (in != whole) {
        uint32_t group = (uint32_t(in[0]) << 16) | (uint32_t(in[1]) << 8) | uint32_t(in[2]);
        putPair(out, group >> 12);
        putPair(out + 2, group & 0xFFF);
        in += 3;
        out += 4;
    }
    switch (size % 3) {
        case 1: {
            unsigned b0 = in[0];
            out[0] = alphabet[b0 >> 2];
            out[1] = alphabet[(b0 & 3) << 4];
            out[2] = '=';
            out[3] = '=';
            break;
        }
        case 2: {
            unsigned b0 = in[0];
            unsigned b1 = in[1];
            out[0] = alphabet[b0 >> 2];
            out[1] = alphabet[((b0 & 3) << 4) | (b1 >> 4)];
            out[2] = alphabet[(b1 & 15) << 2];
            out[3] = '=';
            break;
        }
        default:
            break;
    }
}

}  // namespace

std::string frame(const std::string& body) {
    std::string line;
    line.resize(prefixSize + body.size() + 2);
    char* out = line.data();
    std::memcpy(out, prefix, prefixSize);
    out += prefixSize;
    if (!body.empty()) std::memcpy(out, body.data(), body.size());
    out += body.size();
    out[0] = '}';
    out[1] = '\n';
    return line;
}

std::string base64(const void* data, std::size_t size) {
    std::string text;
    if (size == 0) return text;
    text.resize(encodedSize(size));
    encodeInto(text.data(), static_cast<const unsigned char*>(data), size);
    return text;
}

std::string output(const char* stream, const void* data, std::size_t size) {
    static constexpr char head[] = "{\"version\":1,\"event\":\"output\",\"stream\":\"";
    static constexpr char middle[] = "\",\"data\":\"";
    static constexpr char tail[] = "\"}\n";
    constexpr std::size_t headSize = sizeof(head) - 1;
    constexpr std::size_t middleSize = sizeof(middle) - 1;
    constexpr std::size_t tailSize = sizeof(tail) - 1;

    const std::size_t streamSize = std::strlen(stream);
    const std::size_t dataSize = encodedSize(size);
    std::string line;
    line.resize(headSize + streamSize + middleSize + dataSize + tailSize);
    char* out = line.data();
    std::memcpy(out, head, headSize);
    out += headSize;
    std::memcpy(out, stream, streamSize);
    out += streamSize;
    std::memcpy(out, middle, middleSize);
    out += middleSize;
    if (size != 0) encodeInto(out, static_cast<const unsigned char*>(data), size);
    out += dataSize;
    std::memcpy(out, tail, tailSize);
    return line;
}

}  // namespace owner_protocol
