// The strict readers: parse, positive and decode.
#include "protocol/parse.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/owner_protocol.h"

namespace {

// Runs f and returns the message of the runtime_error it raised, or "<no error>".
template <typename F>
std::string errorOf(F&& f) {
    try {
        f();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no error>";
}

// ---------------------------------------------------------------------------------------
// parse

struct Accepted {
    std::string line;
    Fields fields;
};

TEST(Parse, AcceptedLines) {
    const Accepted cases[] = {
        {R"({"version":1,"event":"terminate"})", {{"event", "terminate"}, {"version", "1"}}},
        {R"( {"event":"terminate", "version":"1"} )", {{"event", "terminate"}, {"version", "1"}}},
        {"\t\r {\t\"version\"\r:\t1\t,\r\"event\" : \"x\" }\r\t ", {{"event", "x"}, {"version", "1"}}},
        {R"({"version":"1"})", {{"version", "1"}}},
        {R"({"version":1,"fd":007})", {{"fd", "007"}, {"version", "1"}}},
        {R"({"version":1,"fd":0})", {{"fd", "0"}, {"version", "1"}}},
        {R"({"version":1,"fd":"0"})", {{"fd", "0"}, {"version", "1"}}},
        {R"({"version":1,"big":123456789012345678901234567890})",
         {{"big", "123456789012345678901234567890"}, {"version", "1"}}},
        {R"({"version":1,"empty":""})", {{"empty", ""}, {"version", "1"}}},
        {R"({"version":1,"":"anonymous"})", {{"", "anonymous"}, {"version", "1"}}},
        {"{\"version\":1,\"name\":\"caf\xC3\xA9\"}", {{"name", "caf\xC3\xA9"}, {"version", "1"}}},
        {"{\"version\":1,\"k\":\"\x7F/ {}:,[]\"}", {{"k", "\x7F/ {}:,[]"}, {"version", "1"}}},
        {"{\"version\":1,\"\xFF\":\"\x80\"}", {{"\xFF", "\x80"}, {"version", "1"}}},
        {R"({"version":1,"event":"write","fd":"3","data":"aGk="})",
         {{"data", "aGk="}, {"event", "write"}, {"fd", "3"}, {"version", "1"}}},
        {R"({"version":1,"event":"resize","cols":80,"rows":24})",
         {{"cols", "80"}, {"event", "resize"}, {"rows", "24"}, {"version", "1"}}},
    };
    for (const auto& c : cases) {
        Fields fields;
        ASSERT_NO_THROW(fields = parse(c.line)) << c.line;
        EXPECT_EQ(fields, c.fields) << c.line;
    }
}

TEST(Parse, SameMapForDifferentSpellings) {
    EXPECT_EQ(parse(R"({"version":1,"event":"terminate"})"), parse(R"( {"event":"terminate", "version":"1"} )"));
    EXPECT_EQ(parse(R"({"version":"1","event":"terminate"})"), parse(R"({"version":1,"event":"terminate"})"));
}

TEST(Parse, AbsentMemberReadsEmpty) {
    Fields fields = parse(R"({"version":1,"event":"end"})");
    EXPECT_EQ(fields["fd"], "");
    EXPECT_EQ(fields["event"], "end");
}

TEST(Parse, DigitRunFeedsPositive) {
    Fields fields = parse(R"({"version":1,"fd":007})");
    EXPECT_EQ(positive(fields["fd"]), 7);
}

struct Refused {
    std::string line;
    std::string message;
};

TEST(Parse, RefusedLines) {
    const Refused cases[] = {
        // "JSON object"
        {"", "JSON object"},
        {"   ", "JSON object"},
        {"[]", "JSON object"},
        {"x{\"version\":1}", "JSON object"},
        {"\n{\"version\":1}", "JSON object"},
        {"\v{\"version\":1}", "JSON object"},
        // "JSON string"
        {"{", "JSON string"},
        {"{ ", "JSON string"},
        {R"({"version":1,})", "JSON string"},
        {R"({version:1})", "JSON string"},
        {R"({'version':1})", "JSON string"},
        {R"({1:1})", "JSON string"},
        {R"({,})", "JSON string"},
        // "JSON escaped/control string"
        {R"({"version":1,"k":"a\"b"})", "JSON escaped/control string"},
        {R"({"version":1,"k":"a\\"})", "JSON escaped/control string"},
        {R"({"version":1,"k":"\u0041"})", "JSON escaped/control string"},
        {"{\"version\":1,\"k\":\"a\tb\"}", "JSON escaped/control string"},
        {"{\"version\":1,\"k\":\"a\rb\"}", "JSON escaped/control string"},
        {"{\"version\":1,\"k\":\"\x1F\"}", "JSON escaped/control string"},
        {std::string("{\"version\":1,\"k\":\"a\0b\"}", 23), "JSON escaped/control string"},
        {"{\"ver\tsion\":1}", "JSON escaped/control string"},
        {"{\"\\", "JSON escaped/control string"},
        // "JSON string end"
        {R"({"version)", "JSON string end"},
        {R"({"version":1,"event":"termin)", "JSON string end"},
        {R"({")", "JSON string end"},
        // "JSON colon"
        {R"({"version"})", "JSON colon"},
        {R"({"version")", "JSON colon"},
        {R"({"version" 1})", "JSON colon"},
        {R"({"version"=1})", "JSON colon"},
        // "JSON number"
        {R"({"version":})", "JSON number"},
        {R"({"version":)", "JSON number"},
        {R"({"version":1,"k":true})", "JSON number"},
        {R"({"version":1,"k":false})", "JSON number"},
        {R"({"version":1,"k":null})", "JSON number"},
        {R"({"version":1,"k":-1})", "JSON number"},
        {R"({"version":1,"k":+1})", "JSON number"},
        {R"({"version":1,"k":[1]})", "JSON number"},
        {R"({"version":1,"k":{"a":1}})", "JSON number"},
        {R"({"version":1,"k":.5})", "JSON number"},
        // "JSON duplicate field"
        {R"({"version":1,"version":1})", "JSON duplicate field"},
        {R"({"version":1,"a":"x","a":"x"})", "JSON duplicate field"},
        {R"({"a":1,"a":2})", "JSON duplicate field"},
        // "JSON object end"
        {R"({"version":1)", "JSON object end"},
        {R"({"version":1 )", "JSON object end"},
        {R"({"version":"1")", "JSON object end"},
        // "JSON comma"
        {R"({"version":1.5})", "JSON comma"},
        {R"({"version":1e3})", "JSON comma"},
        {R"({"version":1 "event":"x"})", "JSON comma"},
        {R"({"version":1;"event":"x"})", "JSON comma"},
        {R"({"version":"1""event":"x"})", "JSON comma"},
        // "JSON trailing bytes"
        {R"({"version":1} x)", "JSON trailing bytes"},
        {R"({"version":1}{"version":1})", "JSON trailing bytes"},
        {"{\"version\":1}\n", "JSON trailing bytes"},
        {R"({}})", "JSON trailing bytes"},
        {"{\"version\":1}\v", "JSON trailing bytes"},
        // "protocol version"
        {R"({})", "protocol version"},
        {R"( { } )", "protocol version"},
        {R"({"event":"terminate"})", "protocol version"},
        {R"({"version":2})", "protocol version"},
        {R"({"version":01})", "protocol version"},
        {R"({"version":"1.0"})", "protocol version"},
        {R"({"version":" 1"})", "protocol version"},
        {R"({"version":""})", "protocol version"},
        {R"({"Version":1})", "protocol version"},
    };
    for (const auto& c : cases) EXPECT_EQ(errorOf([&] { parse(c.line); }), c.message) << "line: " << c.line;
}

TEST(Parse, ChecksRunInTheAlgorithmsOrder) {
    // The structure is read completely before the version is looked at.
    EXPECT_EQ(errorOf([] { parse(R"({"version":2} x)"); }), "JSON trailing bytes");
    EXPECT_EQ(errorOf([] { parse(R"({"version":2,"version":1})"); }), "JSON duplicate field");
    // A duplicate is noticed when it is inserted, before the byte after its value is read.
    EXPECT_EQ(errorOf([] { parse(R"({"a":1,"a":2.5})"); }), "JSON duplicate field");
    // The string is read (and checked) before the colon.
    EXPECT_EQ(errorOf([] { parse("{\"a\tb\" 1}"); }), "JSON escaped/control string");
}

// ---------------------------------------------------------------------------------------
// positive

TEST(Positive, Accepted) {
    const std::pair<std::string, int> cases[] = {
        {"1", 1},       {"7", 7},          {"007", 7},          {"0010", 10},
        {"500", 500},   {"65535", 65535},  {"2147483647", 2147483647},
        {"000000000000000000002147483647", 2147483647},
    };
    for (const auto& [text, value] : cases) {
        int result = 0;
        ASSERT_NO_THROW(result = positive(text)) << text;
        EXPECT_EQ(result, value) << text;
    }
}

TEST(Positive, Refused) {
    const std::string cases[] = {
        "",    "0",   "00",  "-1",  "-0",  "+1",   " 1",         "1 ",          "1x",          "x1",
        "1.0", "1e3", "0x1", "-",   "+",   "\t1",  "2147483648", "4294967296", "4294967297",
        "99999999999999999999999", "-2147483648", std::string("1\0", 2),
    };
    for (const auto& text : cases)
        EXPECT_EQ(errorOf([&] { positive(text); }), "positive integer required") << "text: '" << text << "'";
}

// ---------------------------------------------------------------------------------------
// decode

struct Decoded {
    std::string text;
    std::string bytes;
};

TEST(Decode, AcceptedTexts) {
    const Decoded cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"},
        {"Zm9vYmE=", "fooba"},
        {"Zm9vYmFy", "foobar"},
        {"gA==", "\x80"},
        {"/w==", "\xFF"},
        {"////", "\xFF\xFF\xFF"},
        {"++++", "\xFB\xEF\xBE"},
        {"AAAA", std::string(3, '\0')},
        {"AA==", std::string(1, '\0')},
    };
    for (const auto& c : cases) {
        std::string bytes;
        ASSERT_NO_THROW(bytes = decode(c.text)) << c.text;
        EXPECT_EQ(bytes, c.bytes) << c.text;
    }
}

TEST(Decode, RefusedTexts) {
    const Refused cases[] = {
        // "base64 length"
        {"A", "base64 length"},
        {"AB", "base64 length"},
        {"ABC", "base64 length"},
        {"Zm9vY", "base64 length"},
        {"Zg==\n", "base64 length"},
        {"=====", "base64 length"},
        // "base64 padding"
        {"A===", "base64 padding"},
        {"====", "base64 padding"},
        {"=AAA", "base64 padding"},
        {"Zg==Zm9v", "base64 padding"},
        {"Zm8=Zm9v", "base64 padding"},
        {"Zm9vZm8=Zm9v", "base64 padding"},
        // "base64 symbol"
        {"AB=C", "base64 symbol"},
        {"Zm9-", "base64 symbol"},
        {"Zm9_", "base64 symbol"},
        {"-_-_", "base64 symbol"},
        {"Zm9 ", "base64 symbol"},
        {"Zm9\n", "base64 symbol"},
        {"Zm9.", "base64 symbol"},
        {"Zm9\x80", "base64 symbol"},
        {std::string("Zm9\0", 4), "base64 symbol"},
        {"Zm9vZm9v!AAA", "base64 symbol"},
        // "noncanonical base64"
        {"QR==", "noncanonical base64"},
        {"Zh==", "noncanonical base64"},
        {"Zm9=", "noncanonical base64"},
        {"/x==", "noncanonical base64"},
    };
    for (const auto& c : cases) EXPECT_EQ(errorOf([&] { decode(c.line); }), c.message) << "text: " << c.line;
}

TEST(Decode, GroupsAreCheckedInOrder) {
    // A padded group that is not the last fails on its '=' even when later groups are bad too.
    EXPECT_EQ(errorOf([] { decode("Zg==!!!!"); }), "base64 padding");
    // Groups are checked in order: a bad symbol early wins over padding later.
    EXPECT_EQ(errorOf([] { decode("!!!!Zg==Zg=="); }), "base64 symbol");
}

TEST(Decode, RoundTripsEveryByteValue) {
    std::string all;
    for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
    EXPECT_EQ(decode(owner_protocol::base64(all.data(), all.size())), all);
    std::mt19937 random(99);
    for (std::size_t size = 0; size < 200; ++size) {
        std::string bytes(size, '\0');
        for (auto& b : bytes) b = static_cast<char>(random());
        ASSERT_EQ(decode(owner_protocol::base64(bytes.data(), bytes.size())), bytes) << "size " << size;
    }
}

TEST(Decode, SizeBoundary) {
    std::string exactly(8192, '\0');
    for (std::size_t i = 0; i < exactly.size(); ++i) exactly[i] = static_cast<char>(i * 13 + 1);
    std::string text = owner_protocol::base64(exactly.data(), exactly.size());
    ASSERT_EQ(text.size(), 10924u);
    ASSERT_EQ(text.back(), '=');
    ASSERT_NE(text[text.size() - 2], '=');
    EXPECT_EQ(decode(text), exactly);

    std::string over = exactly + "x";
    std::string overText = owner_protocol::base64(over.data(), over.size());
    ASSERT_EQ(overText.size(), 10924u);
    ASSERT_EQ(overText.find('='), std::string::npos);
    EXPECT_EQ(errorOf([&] { decode(overText); }), "input chunk too large");

    std::string longer(8194, 'y');
    EXPECT_EQ(errorOf([&] { decode(owner_protocol::base64(longer.data(), longer.size())); }), "input chunk too large");
    std::string much(65535 / 4 * 3, 'z');
    EXPECT_EQ(errorOf([&] { decode(owner_protocol::base64(much.data(), much.size())); }), "input chunk too large");
    // 10924 characters ending in "==" decode to 8191 bytes.
    std::string fewer(8191, 'q');
    EXPECT_EQ(decode(owner_protocol::base64(fewer.data(), fewer.size())), fewer);
}

TEST(Decode, SizeIsCheckedAfterTheWholeText) {
    // A bad symbol in the last group of an oversized text is reported as a bad symbol.
    std::string big(9000, 'a');
    std::string text = owner_protocol::base64(big.data(), big.size());
    text[text.size() - 1] = '-';
    EXPECT_EQ(errorOf([&] { decode(text); }), "base64 symbol");
    // Oversized and noncanonical: the size check comes first.
    std::string odd(8194, 'a');  // 8194 % 3 == 1: ends in "==", the second character carries pad bits
    std::string oddText = owner_protocol::base64(odd.data(), odd.size());
    ASSERT_EQ(oddText.substr(oddText.size() - 2), "==");
    oddText[oddText.size() - 3] = 'h';  // 'YQ==' becomes 'Yh==': nonzero bits under the pad
    EXPECT_EQ(errorOf([&] { decode(oddText); }), "input chunk too large");
}

}  // namespace
