#include "net/KesURL.h"
#include "net/KesUUE.h"
#include "ui/core/Exception.h"

#include <gtest/gtest.h>
#include <sstream>

TEST(UrlEncoding, LettersDigitsStaySpacesBecomePlusTheRestIsHex) {
    TKesURL url;
    EXPECT_EQ(url.EncodeText("ab c"), "ab+c");
    EXPECT_EQ(url.EncodeText("=&"), "%3D%26");
    EXPECT_EQ(url.EncodeText(""), "");
    EXPECT_EQ(url.EncodeText("-._*\t"), "%2D%2E%5F%2A%09");
    EXPECT_EQ(url.EncodeText("\xa5\x41\xff"), "%A5A%FF");
    EXPECT_EQ(url.EncodeText(std::string("a\0b", 3)), "a%00b");
    url.InputString = "Z9 z";
    EXPECT_EQ(url.Encode(), "Z9+z");
}

TEST(UrlEncoding, LongTextsAreEncodedWhole) {
    TKesURL url;
    std::string text(70000, 'a');
    text += '=';
    std::string encoded = url.EncodeText(text);
    EXPECT_EQ(encoded.size(), 70003u);
    EXPECT_EQ(encoded.substr(69998), "aa%3D");
}

TEST(UUEncoding, Base64Lines) {
    EXPECT_EQ(UUEncodeString("abc", uuMime), "YWJj\r\n");
    EXPECT_EQ(UUEncodeString("a", uuMime), "YQ==\r\n");
    EXPECT_EQ(UUEncodeString("ab", uuMime), "YWI=\r\n");
    EXPECT_EQ(UUEncodeString("", uuMime), "");
    EXPECT_EQ(UUEncodeString("user:pass", uuMime), "dXNlcjpwYXNz\r\n");
    // 46 bytes: a full line of 45 bytes (60 characters), then one byte.
    std::string out = UUEncodeString(std::string(46, 'x'), uuMime);
    std::size_t eol = out.find("\r\n");
    ASSERT_EQ(eol, 60u);
    EXPECT_EQ(out.substr(62), "eA==\r\n");
    // Exactly 45 bytes make one line and nothing more.
    EXPECT_EQ(UUEncodeString(std::string(45, 'x'), uuMime).size(), 62u);
    // The last two letters of the alphabet and zero bytes.
    EXPECT_EQ(UUEncodeString(std::string("\xfb\xff\x00", 3), uuMime), "+/8A\r\n");
}

TEST(UUEncoding, UUCodeLinesCarryTheirLengthAndEndWithAGraveLine) {
    EXPECT_EQ(UUEncodeString("abc", uuCode), "#86)C\r\n`\r\n");
    EXPECT_EQ(UUEncodeString("a", uuCode), "!80\r\n`\r\n");
    EXPECT_EQ(UUEncodeString("", uuCode), "`\r\n");
    std::string out = UUEncodeString(std::string(45, '\0'), uuCode);
    EXPECT_EQ(out.substr(0, 1), "M");  // 45 = 'M' - 32
    EXPECT_EQ(out.substr(1, 60), std::string(60, '`'));
}

TEST(UUEncoding, EventsStreamsAndRewind) {
    std::stringstream in("abc"), out;
    TKesUUProcessor enc;
    EXPECT_EQ(enc.Method, uuMime);
    std::vector<std::string> events;
    enc.OnBeginEncode = [&](QObject*) { events.push_back("begin"); };
    enc.OnEndEncode = [&](QObject*) { events.push_back("end"); };
    enc.InputStream = &in;
    enc.OutputStream = &out;
    enc.Encode();
    enc.Encode();  // the input is rewound; the output is rewound and overwritten
    EXPECT_EQ(events, (std::vector<std::string>{"begin", "end", "begin", "end"}));
    std::string first;
    std::getline(out, first);
    EXPECT_EQ(first, "YWJj\r");
    EXPECT_EQ(enc.Alphabet().size(), 64u);
    TKesUUProcessor noStreams;
    EXPECT_ANY_THROW(noStreams.Encode());
}

TEST(UUEncoding, AThrowingEndHandlerReachesTheCaller) {
    std::stringstream in("abc"), out;
    TKesUUProcessor enc;
    enc.InputStream = &in;
    enc.OutputStream = &out;
    enc.OnEndEncode = [](QObject*) { throw Exception("end handler failed"); };
    EXPECT_THROW(enc.Encode(), Exception);  // used to end the process
    EXPECT_EQ(out.str(), "YWJj\r\n");
    // When the encoding itself fails, the handler still runs, and its error is the one raised.
    std::stringstream failing("abc");
    failing.setstate(std::ios::badbit);
    enc.InputStream = &failing;
    int ends = 0;
    enc.OnEndEncode = [&](QObject*) {
        ++ends;
        throw Exception("end handler failed");
    };
    try {
        enc.Encode();
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "end handler failed");
    }
    EXPECT_EQ(ends, 1);
}

TEST(UrlEncoding, OnePercentEncoderForFormsAndQueries) {
    EXPECT_EQ(PercentEncode("a b&=\xa5", true), "a+b%26%3D%A5");
    EXPECT_EQ(PercentEncode("a b&=\xa5", false), "a%20b%26%3D%A5");
}
