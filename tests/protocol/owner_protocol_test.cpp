// The line envelope and the encoders.
#include "protocol/owner_protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

// The encoding rule written out literally, one group at a time, as a reference for the fast encoder.
std::string referenceBase64(const std::vector<unsigned char>& in) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        unsigned b0 = in[i];
        unsigned b1 = i + 1 < in.size() ? in[i + 1] : 0;
        unsigned b2 = i + 2 < in.size() ? in[i + 2] : 0;
        out += alphabet[b0 >> 2];
        out += alphabet[((b0 & 3) << 4) | (b1 >> 4)];
        out += i + 1 < in.size() ? alphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
        out += i + 2 < in.size() ? alphabet[b2 & 63] : '=';
    }
    return out;
}

std::string b64(const std::string& text) { return owner_protocol::base64(text.data(), text.size()); }

std::string b64(const std::vector<unsigned char>& bytes) { return owner_protocol::base64(bytes.data(), bytes.size()); }

TEST(Frame, ReadyBody) {
    EXPECT_EQ(owner_protocol::frame("\"event\":\"ready\""), "{\"version\":1,\"event\":\"ready\"}\n");
}

TEST(Frame, EmptyBodyIsStillEnveloped) { EXPECT_EQ(owner_protocol::frame(""), "{\"version\":1,}\n"); }

TEST(Frame, BodyBytesAreCopiedUnescaped) {
    std::string body = "\"event\":\"x\",\"k\":\"a\\b\"";
    body.push_back('\0');
    body += "\xff";
    std::string expected = "{\"version\":1," + body + "}\n";
    EXPECT_EQ(owner_protocol::frame(body), expected);
}

TEST(Frame, CatalogueExamples) {
    EXPECT_EQ(owner_protocol::frame("\"event\":\"failed\",\"stage\":\"control_protocol\",\"scope\":\"unknown\","
                                    "\"queued\":0,\"dropped\":0,\"dropped_bytes\":0"),
              "{\"version\":1,\"event\":\"failed\",\"stage\":\"control_protocol\",\"scope\":\"unknown\","
              "\"queued\":0,\"dropped\":0,\"dropped_bytes\":0}\n");
    EXPECT_EQ(owner_protocol::frame("\"event\":\"reaped\",\"active\":0,\"reason\":\"terminate\","
                                    "\"queued\":0,\"dropped\":0,\"dropped_bytes\":0"),
              "{\"version\":1,\"event\":\"reaped\",\"active\":0,\"reason\":\"terminate\","
              "\"queued\":0,\"dropped\":0,\"dropped_bytes\":0}\n");
}

struct Vector {
    std::string in;
    std::string out;
};

TEST(Base64, Rfc4648Vectors) {
    const Vector vectors[] = {
        {"", ""},         {"f", "Zg=="},        {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& v : vectors) EXPECT_EQ(b64(v.in), v.out) << "input \"" << v.in << "\"";
}

TEST(Base64, EmptyForSizeZero) {
    EXPECT_EQ(owner_protocol::base64(nullptr, 0), "");
    EXPECT_EQ(owner_protocol::base64("abc", 0), "");
}

TEST(Base64, OneTwoThreeBytesGiveFourCharacters) {
    std::string one = b64(std::string("\x01", 1));
    std::string two = b64(std::string("\x01\x02", 2));
    std::string three = b64(std::string("\x01\x02\x03", 3));
    EXPECT_EQ(one, "AQ==");
    EXPECT_EQ(two, "AQI=");
    EXPECT_EQ(three, "AQID");
    for (const auto* text : {&one, &two, &three}) EXPECT_EQ(text->size(), 4u);
    EXPECT_EQ(one.substr(2), "==");
    EXPECT_EQ(two.substr(3), "=");
    EXPECT_EQ(three.find('='), std::string::npos);
}

TEST(Base64, HighBytesEncodeAsUnsigned) {
    EXPECT_EQ(b64(std::vector<unsigned char>{0x80}), "gA==");
    EXPECT_EQ(b64(std::vector<unsigned char>{0xFF}), "/w==");
    EXPECT_EQ(b64(std::vector<unsigned char>{0xFF, 0xFF}), "//8=");
    EXPECT_EQ(b64(std::vector<unsigned char>{0xFF, 0xFF, 0xFF}), "////");
    EXPECT_EQ(b64(std::vector<unsigned char>{0xFB, 0xEF, 0xBE}), "++++");
    EXPECT_EQ(b64(std::vector<unsigned char>{0x00, 0x00, 0x00}), "AAAA");
    EXPECT_EQ(b64(std::vector<unsigned char>{0x80, 0x81, 0x82}), "gIGC");
    std::vector<unsigned char> high;
    for (int c = 0x80; c <= 0xFF; ++c) high.push_back(static_cast<unsigned char>(c));
    EXPECT_EQ(b64(high), referenceBase64(high));
    for (int c = 0x80; c <= 0xFF; ++c) {
        std::vector<unsigned char> single{static_cast<unsigned char>(c)};
        EXPECT_EQ(b64(single), referenceBase64(single)) << "byte " << c;
    }
}

TEST(Base64, EveryByteValueInEveryPosition) {
    for (int c = 0; c < 256; ++c) {
        for (std::size_t position = 0; position < 3; ++position) {
            std::vector<unsigned char> bytes(3, 0x5A);
            bytes[position] = static_cast<unsigned char>(c);
            ASSERT_EQ(b64(bytes), referenceBase64(bytes)) << "byte " << c << " at " << position;
        }
    }
}

TEST(Base64, MatchesReferenceOnRandomDataOfManySizes) {
    std::mt19937 random(12345);
    for (std::size_t size = 0; size < 400; ++size) {
        std::vector<unsigned char> bytes(size);
        for (auto& b : bytes) b = static_cast<unsigned char>(random());
        std::string text = b64(bytes);
        ASSERT_EQ(text.size(), (size + 2) / 3 * 4) << "size " << size;
        ASSERT_EQ(text, referenceBase64(bytes)) << "size " << size;
    }
    std::vector<unsigned char> big(8192 * 4 + 1);
    for (auto& b : big) b = static_cast<unsigned char>(random());
    EXPECT_EQ(b64(big), referenceBase64(big));
}

TEST(Base64, NoLineBreaksInLongText) {
    std::vector<unsigned char> bytes(8192, 0xAB);
    std::string text = b64(bytes);
    EXPECT_EQ(text.size(), 10924u);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(OutputLine, ExactBytes) {
    EXPECT_EQ(owner_protocol::output("stdout", "hi\n", 3),
              "{\"version\":1,\"event\":\"output\",\"stream\":\"stdout\",\"data\":\"aGkK\"}\n");
    EXPECT_EQ(owner_protocol::output("stderr", "foobar", 6),
              "{\"version\":1,\"event\":\"output\",\"stream\":\"stderr\",\"data\":\"Zm9vYmFy\"}\n");
    EXPECT_EQ(owner_protocol::output("stdout", "f", 1),
              "{\"version\":1,\"event\":\"output\",\"stream\":\"stdout\",\"data\":\"Zg==\"}\n");
}

TEST(OutputLine, EmptyData) {
    EXPECT_EQ(owner_protocol::output("stdout", nullptr, 0),
              "{\"version\":1,\"event\":\"output\",\"stream\":\"stdout\",\"data\":\"\"}\n");
}

TEST(OutputLine, EqualsFrameOfTheCatalogueBody) {
    std::mt19937 random(7);
    for (std::size_t size : {0u, 1u, 2u, 3u, 4u, 5u, 100u, 8191u, 8192u}) {
        std::vector<unsigned char> bytes(size);
        for (auto& b : bytes) b = static_cast<unsigned char>(random());
        for (const char* stream : {"stdout", "stderr"}) {
            std::string body = std::string("\"event\":\"output\",\"stream\":\"") + stream + "\",\"data\":\"" +
                               referenceBase64(bytes) + "\"";
            ASSERT_EQ(owner_protocol::output(stream, bytes.data(), bytes.size()), owner_protocol::frame(body))
                << "size " << size << " stream " << stream;
        }
    }
}

TEST(OutputLine, FullReadIs10983BytesWithNewline) {
    std::vector<unsigned char> bytes(8192);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 31 + 7);
    for (const char* stream : {"stdout", "stderr"}) {
        std::string line = owner_protocol::output(stream, bytes.data(), bytes.size());
        EXPECT_EQ(line.size(), 10983u);
        EXPECT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1);
        EXPECT_EQ(line.rfind("{\"version\":1,", 0), 0u);
    }
}

}  // namespace
