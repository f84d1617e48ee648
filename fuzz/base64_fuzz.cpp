// The base64 reader and writer. Taken as text, the input either decodes to at most 8192
// bytes that encode back to exactly that text, or is rejected with a fixed message; taken
// as bytes, it encodes to the text a plain reference encoder gives and decodes back.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "protocol/owner_protocol.h"
#include "protocol/parse.h"
#include "support.h"

namespace {

constexpr std::size_t chunkLimit = 8192;

// The encoder written the slow, obvious way, to compare the program's faster one against.
std::string reference(const std::string& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        unsigned b0 = static_cast<unsigned char>(bytes[i]);
        unsigned b1 = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        unsigned b2 = i + 2 < bytes.size() ? static_cast<unsigned char>(bytes[i + 2]) : 0;
        text += alphabet[b0 >> 2];
        text += alphabet[((b0 & 3) << 4) | (b1 >> 4)];
        text += i + 1 < bytes.size() ? alphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
        text += i + 2 < bytes.size() ? alphabet[b2 & 63] : '=';
    }
    return text;
}

std::string decodeMessage(const std::string& text, const char* where) {
    try {
        decode(text);
    } catch (...) {
        std::exception_ptr error = std::current_exception();
        fuzz::classify(error, where, [](std::string_view m) { return fuzz::oneOf(m, fuzz::decodeMessages); });
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            return e.what();
        }
    }
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    // The input as received text.
    try {
        std::string bytes = decode(input);
        fuzz::require(bytes.size() <= chunkLimit, "decoded chunk larger than 8192 bytes");
        fuzz::require(owner_protocol::base64(bytes.data(), bytes.size()) == input,
                      "decoded chunk does not re-encode to its text");
        fuzz::require(reference(bytes) == input, "decoded chunk differs from the reference decoding");
    } catch (...) {
        fuzz::classify(std::current_exception(), "decode",
                       [](std::string_view m) { return fuzz::oneOf(m, fuzz::decodeMessages); });
    }

    // The input as bytes to send: at most one chunk round-trips.
    const std::string chunk = input.substr(0, chunkLimit);
    const std::string text = owner_protocol::base64(chunk.data(), chunk.size());
    fuzz::require(text.size() == (chunk.size() + 2) / 3 * 4, "encoded length is not 4 * ceil(n / 3)");
    fuzz::require(text == reference(chunk), "encoding differs from the reference encoder");
    try {
        fuzz::require(decode(text) == chunk, "encoded chunk does not decode to its bytes");
    } catch (...) {
        fuzz::classify(std::current_exception(), "decode of an encoded chunk", [](std::string_view) { return false; });
    }

    // More than one chunk encodes fine but is refused on the way in.
    if (input.size() > chunkLimit) {
        const std::string big = owner_protocol::base64(input.data(), input.size());
        fuzz::require(big == reference(input), "encoding of a long input differs from the reference encoder");
        fuzz::require(decodeMessage(big, "decode of a long input") == "input chunk too large",
                      "more than 8192 bytes not refused as too large");
    }
    return 0;
}
