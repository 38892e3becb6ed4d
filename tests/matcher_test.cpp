// Tests of the hand-written request matcher against the regex engine, which remains the
// reference for what the request pattern means.
#include "request.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const std::string LINE = "GET / HTTP/1.1\r\n"; // 16 bytes
const std::string NUL(1, '\0');

class RequestMatcherTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(regcomp(&reference, REQUEST_PATTERN, REG_EXTENDED), 0);
    }
    void TearDown() override {
        regfree(&reference);
    }

    // The matcher, in both variants (the one for this processor and the portable one), must
    // agree with regexec on the text (which ends at its first NUL) in the verdict and all four
    // sub-matches, which it leaves in `got`; and with a search of all the bytes on whether
    // CR LF CR LF occurs. It reads a copy in a block of exactly the text's size, without the
    // terminating NUL, so that under AddressSanitizer a read past the end fails the test.
    testing::AssertionResult agrees(const std::string& text, bool* matched) {
        regmatch_t expected[4];
        *matched = regexec(&reference, text.c_str(), 4, expected, 0) == 0;
        const std::vector<char> exact(text.begin(), text.end());
        const bool blank_line = memmem(text.data(), text.size(), "\r\n\r\n", 4) != nullptr;
        for (const bool portable : {false, true}) {
            bool found_blank_line = !blank_line;
            const bool have =
                match_request_scan(exact.data(), text.size(), got, &found_blank_line, portable);
            bool same = have == *matched && found_blank_line == blank_line;
            for (size_t g = 0; same && have && g < 4; ++g)
                same = expected[g].rm_so == got[g].rm_so && expected[g].rm_eo == got[g].rm_eo;
            if (!same)
                return testing::AssertionFailure()
                       << "regexec " << *matched << ", matcher " << have << " (portable "
                       << portable << "), blank line " << blank_line << "/" << found_blank_line
                       << " on " << testing::PrintToString(text.substr(0, 200));
        }
        return testing::AssertionSuccess();
    }

    regex_t reference;
    regmatch_t got[4]; // the sub-matches of the last text agrees() judged
};

// Hand-picked texts with the answer written out, so that they check the reference as well:
// the end of the whole match and the path and query groups ("-" when absent); and refused
// texts, one for each part of the pattern, among them a header line that stops at a CR opening
// the next line without its LF (no blank line, whatever a search of the bytes finds).
TEST_F(RequestMatcherTest, TextsGiveTheirVerdictAndSubMatches) {
    const struct {
        std::string text;
        regoff_t end;
        std::string path = "-", query = "-";
    } cases[] = {{LINE + "\r\n", 18},
                 {LINE, 16}, // the pattern itself needs no empty line
                 {"HEAD /a/b?K_=v1&Z=0 HTTP/1.0\r\n\r\n", 32, "a/b", "?K_=v1&Z=0"},
                 {"GET /?A=1 HTTP/1.1\r\n\r\n", 22, "-", "?A=1"},
                 // The path's class takes control bytes, CR, LF and bytes above 0x7E.
                 {"GET /a\r\n\t\x7F\x80\xFF=&: HTTP/1.1\r\n\r\n", 28, "a\r\n\t\x7F\x80\xFF=&:"},
                 {"PUT // HTTP/10.20 \r\n\r\n", 22, "/"},
                 {LINE + ":::\r\n \x7E : \r\n\r\n\r\n", 32},
                 // The text ends at its first NUL.
                 {LINE + "\r\n" + NUL + "body", 18},
                 {LINE + NUL + "\r\n", 16}};
    for (const auto& c : cases) {
        bool matched = false;
        ASSERT_TRUE(agrees(c.text, &matched));
        ASSERT_TRUE(matched) << testing::PrintToString(c.text);
        const auto group = [&](int g) {
            return got[g].rm_so < 0 ? "-"
                                    : c.text.substr(got[g].rm_so, got[g].rm_eo - got[g].rm_so);
        };
        EXPECT_EQ(std::tuple(got[0].rm_so, got[0].rm_eo, group(1), group(2), group(3)),
                  std::tuple(0, c.end, c.text.substr(0, c.text.find(' ')), c.path, c.query));
    }
    std::vector<std::string> refused = {"GET /a" + NUL + "b HTTP/1.1\r\n\r\n",
                                        "POST /upEGATE_UP=5 HTTP/1.1\r\nUITID=_WA: -t /upl+od?"
                                        "CAGGREGATE_UP=5 HTTP/1.1\r\nUITID=_WA: -t\r\n\r*\n"};
    for (const char* line :
         {"", "get / HTTP/1.1", "GET  / HTTP/1.1", "GET /a b HTTP/1.1", "GET /? HTTP/1.1",
          "GET /?A=1& HTTP/1.1", "GET /?a=1 HTTP/1.1", "GET /?A=1=2 HTTP/1.1", "GET / HTTP/1.",
          "GET / HTTP/1.1  ", "GET / HTTP/1.1\n"})
        refused.push_back(line + std::string("\r\n\r\n"));
    // Header lines after a valid request line.
    for (const char* lines :
         {"::\r\n\r\n", ":ab\r\n\r\n", "ab:\r\n\r\n", "a:\tb\r\n\r\n", "a:\x80\r\n\r\n",
          "\r\na:b\r\n\r\n", "a:b\r\r\n\r\n", "\r", "A: b\r\n\r*\n", "A: b\r\n\r"})
        refused.push_back(LINE + lines);
    for (const std::string& text : refused) {
        bool matched = true;
        ASSERT_TRUE(agrees(text, &matched));
        EXPECT_FALSE(matched) << testing::PrintToString(text);
    }
}

// Headers of about 16 KiB built to make a sub-match search slow, each also spoiled at its very
// end so that the whole text has to be read before refusing it; and colons at block edges.
TEST_F(RequestMatcherTest, AdversarialHeadersAgreeWithRegex) {
    const size_t size = 16 * 1024;
    std::string lines = LINE, query = "GET /?", empties = LINE;
    while (lines.size() < size) {
        lines += "a:b\r\n";
        query += "A=1&";
        empties += "\r\n";
    }
    std::vector<std::string> texts = {
        LINE + std::string(size, ':') + "\r\n\r\n", lines + "\r\n", query + "B=2 HTTP/1.1\r\n\r\n",
        "GET /" + std::string(size, 'x') + " HTTP/1.1\r\n\r\n", empties,
        // CRs wherever the path may hold them, and a version of 16 KiB of digits.
        "GET /" + std::string(size, '\r') + " HTTP/1.1\r\n",
        "GET / HTTP/" + std::string(size, '1') + ".1\r\n\r\n"};
    for (size_t i = 0, whole = texts.size(); i < whole; ++i) {
        texts.push_back(texts[i] + ":");
        texts.push_back(texts[i]);
        texts.back().insert(texts.back().size() - 4, "\x80");
    }
    // A long header line whose only colon lies at each position in turn, also on either side
    // of the boundaries of the 64-byte blocks it is judged in.
    for (size_t at = 0; at < 140; ++at) {
        texts.push_back(LINE + std::string(140, 'h') + "\r\n\r\n");
        texts.back()[LINE.size() + at] = ':';
    }
    int matched_count = 0;
    for (const std::string& text : texts) {
        bool matched = false;
        EXPECT_TRUE(agrees(text, &matched));
        matched_count += matched;
    }
    EXPECT_EQ(matched_count, 7 + 138); // the lone colon: not as the first or the last byte
}

} // namespace
