// Tests of the hand-written request matcher against the regex engine, which remains the
// reference for what the request pattern means.
#include "request.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t GROUPS = 4;
const std::string LINE = "GET / HTTP/1.1\r\n"; // 16 bytes
const std::string NUL(1, '\0');

// Bytes that decide something in the pattern, and some that every class refuses.
constexpr char MUTATION_CHARS[] = "? =&:\r\n\0AZaz09_/.GTPHS\x7F\x80\xFF\t";
const std::string MUTATION_BYTES(MUTATION_CHARS, sizeof MUTATION_CHARS - 1);

std::string visible(const std::string& text) {
    std::string out;
    for (const char c : text.substr(0, 300)) {
        const auto byte = static_cast<unsigned char>(c);
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        out += byte >= 0x20 && byte <= 0x7E && c != '\\' ? std::string(1, c) : escaped;
    }
    return text.size() > 300 ? out + "... (" + std::to_string(text.size()) + " bytes)" : out;
}

class RequestMatcherTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(regcomp(&reference, REQUEST_PATTERN, REG_EXTENDED), 0);
    }
    void TearDown() override {
        regfree(&reference);
    }

    // The matcher must agree with regexec on the text (which ends at its first NUL) in the
    // verdict and, on a match, in all four sub-matches, which it leaves in `got`; and with a
    // search of all the bytes on whether CR LF CR LF occurs.
    testing::AssertionResult agrees(const std::string& text, bool* matched = nullptr,
                                    regmatch_t* got = nullptr) {
        regmatch_t expected[GROUPS];
        regmatch_t actual[GROUPS];
        const int rc = regexec(&reference, text.c_str(), GROUPS, expected, 0);
        if (rc != 0 && rc != REG_NOMATCH)
            return testing::AssertionFailure() << "regexec failed (" << rc << ")";
        // The matcher gets a copy without the terminating NUL in a block of exactly its size,
        // so that under AddressSanitizer a read past `size` fails the test.
        const std::unique_ptr<char[]> exact(new char[text.size()]);
        memcpy(exact.get(), text.data(), text.size());
        const bool want = rc == 0;
        if (matched != nullptr)
            *matched = want;
        const bool blank_line = memmem(text.data(), text.size(), "\r\n\r\n", 4) != nullptr;
        // Both variants: the one for this processor and the one every x86-64 processor runs.
        for (const bool portable : {false, true}) {
            const char* variant = portable ? " (portable variant)" : "";
            bool found_blank_line = !blank_line;
            const bool have =
                match_request_scan(exact.get(), text.size(), actual, &found_blank_line, portable);
            if (want != have)
                return testing::AssertionFailure() << "regexec " << (want ? "matches" : "refuses")
                                                   << ", matcher " << (have ? "matches" : "refuses")
                                                   << variant << " \"" << visible(text) << '"';
            if (found_blank_line != blank_line)
                return testing::AssertionFailure()
                       << "CR LF CR LF " << (blank_line ? "present" : "absent") << ", matcher says "
                       << (found_blank_line ? "present" : "absent") << variant << " \""
                       << visible(text) << '"';
            for (size_t g = 0; want && g < GROUPS; ++g) {
                if (expected[g].rm_so != actual[g].rm_so || expected[g].rm_eo != actual[g].rm_eo)
                    return testing::AssertionFailure()
                           << "group " << g << ": regexec [" << expected[g].rm_so << ", "
                           << expected[g].rm_eo << "), matcher [" << actual[g].rm_so << ", "
                           << actual[g].rm_eo << ")" << variant << " on \"" << visible(text) << '"';
                if (got != nullptr)
                    got[g] = actual[g];
            }
        }
        return testing::AssertionSuccess();
    }

    regex_t reference;
};

// Hand-picked texts with the answer written out, so that they check the reference as well:
// the end of the whole match and the path and query groups (-1 when absent).
TEST_F(RequestMatcherTest, AcceptedTextsGiveTheirSubMatches) {
    const struct {
        std::string text;
        regoff_t end, path_so, path_eo, query_so, query_eo;
    } cases[] = {
        {LINE + "\r\n", 18, -1, -1, -1, -1},
        {LINE, 16, -1, -1, -1, -1}, // the pattern itself needs no empty line
        {LINE + "\r\n\r\n\r\n", 22, -1, -1, -1, -1},
        {"HEAD /a/b?K_=v1&Z=0 HTTP/1.0\r\n\r\n", 32, 6, 9, 9, 19},
        {"GET /?A=1 HTTP/1.1\r\n\r\n", 22, -1, -1, 5, 9},
        {"GET // HTTP/1.1\r\n\r\n", 19, 5, 6, -1, -1},
        // The path's class takes control bytes, CR, LF and bytes above 0x7E.
        {"GET /a\r\n\t\x7F\x80\xFF=&: HTTP/1.1\r\n\r\n", 28, 5, 15, -1, -1},
        {"GET / HTTP/1.1 \r\n\r\n", 19, -1, -1, -1, -1},
        {"PUT /x HTTP/10.20\r\n\r\n", 21, 5, 6, -1, -1},
        {LINE + ":::\r\n\r\n", 23, -1, -1, -1, -1},
        {LINE + " : \r\n\r\n", 23, -1, -1, -1, -1},
        {LINE + std::string(40, 'a') + ":b\r\n\r\n", 62, -1, -1, -1, -1},
        // The text ends at its first NUL.
        {LINE + "\r\n" + NUL + "body", 18, -1, -1, -1, -1},
        {LINE + NUL + "\r\n", 16, -1, -1, -1, -1},
    };
    for (const auto& c : cases) {
        bool matched = false;
        regmatch_t m[GROUPS];
        ASSERT_TRUE(agrees(c.text, &matched, m));
        ASSERT_TRUE(matched) << visible(c.text);
        EXPECT_EQ(m[0].rm_so, 0);
        EXPECT_EQ(m[0].rm_eo, c.end);
        EXPECT_EQ(m[1].rm_so, 0);
        EXPECT_EQ(m[1].rm_eo, static_cast<regoff_t>(c.text.find(' ')));
        EXPECT_EQ(m[2].rm_so, c.path_so) << visible(c.text);
        EXPECT_EQ(m[2].rm_eo, c.path_eo);
        EXPECT_EQ(m[3].rm_so, c.query_so) << visible(c.text);
        EXPECT_EQ(m[3].rm_eo, c.query_eo);
    }
}

TEST_F(RequestMatcherTest, RefusedTexts) {
    const std::string cases[] = {"",
                                 "GET / HTTP/1.1  \r\n\r\n",
                                 "GET / HTTP/1.\r\n\r\n",
                                 "GET / HTTP/1.1x\r\n\r\n",
                                 "get / HTTP/1.1\r\n\r\n",
                                 "GETS / HTTP/1.1\r\n\r\n",
                                 "GET  / HTTP/1.1\r\n\r\n",
                                 "GET /a b HTTP/1.1\r\n\r\n",
                                 "GET /? HTTP/1.1\r\n\r\n",
                                 "GET /?A=1& HTTP/1.1\r\n\r\n",
                                 "GET /?=1 HTTP/1.1\r\n\r\n",
                                 "GET /?A= HTTP/1.1\r\n\r\n",
                                 "GET /?a=1 HTTP/1.1\r\n\r\n",
                                 "GET /?A=1=2 HTTP/1.1\r\n\r\n",
                                 "GET /??A=1 HTTP/1.1\r\n\r\n",
                                 "GET /a" + NUL + "b HTTP/1.1\r\n\r\n",
                                 "GET / HTTP/1.1\n\n",
                                 LINE + "::\r\n\r\n",
                                 LINE + ":ab\r\n\r\n",
                                 LINE + "ab:\r\n\r\n",
                                 LINE + "Host\r\n\r\n",
                                 LINE + std::string(40, 'a') + ":\r\n\r\n",
                                 LINE + ":" + std::string(40, 'a') + "\r\n\r\n",
                                 LINE + "a:\tb\r\n\r\n",
                                 LINE + "a:b\x7F\r\n\r\n",
                                 LINE + "a:\x80\r\n\r\n",
                                 LINE + "\r\na:b\r\n\r\n",
                                 LINE + "\r\nbody",
                                 LINE + "a:b\r\r\n\r\n",
                                 LINE + "\r"};
    for (const std::string& text : cases) {
        bool matched = true;
        ASSERT_TRUE(agrees(text, &matched));
        EXPECT_FALSE(matched) << visible(text);
    }
}

// Headers of about 16 KiB built to make a sub-match search slow, each also spoiled at its very
// end so that the whole text has to be read before refusing it.
TEST_F(RequestMatcherTest, AdversarialHeadersAgreeWithRegex) {
    const size_t size = 16 * 1024;
    std::string lines = LINE;
    std::string query = "GET /?";
    std::string empties = LINE;
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
    const size_t whole = texts.size();
    for (size_t i = 0; i < whole; ++i) {
        texts.push_back(texts[i] + ":");
        texts.push_back(texts[i]);
        texts.back().insert(texts.back().size() - 4, "\x80");
    }
    int matched_count = 0;
    for (const std::string& text : texts) {
        bool matched = false;
        EXPECT_TRUE(agrees(text, &matched));
        matched_count += matched;
    }
    EXPECT_EQ(matched_count, 7);
}

// The text is read in vectors of 16 or 32 bytes and judged in blocks of 64 from the start of
// the query and of the header lines: put every byte value into every position of a run longer
// than a block, in the path, in a query name and value, in a header name and value and among
// the final empty lines.
TEST_F(RequestMatcherTest, EveryByteAtEveryVectorPositionAgreesWithRegex) {
    constexpr size_t RUN = 72;
    int matched_count = 0;
    for (size_t offset = 0; offset < RUN; ++offset) {
        for (int value = 0; value < 256; ++value) {
            const auto with_byte = [&](char filler) {
                std::string run(RUN, filler);
                run[offset] = static_cast<char>(value);
                return run;
            };
            std::string empties;
            for (size_t i = 0; i < RUN / 2; ++i)
                empties += "\r\n";
            empties[offset] = static_cast<char>(value);
            for (const std::string& text :
                 {"GET /" + with_byte('x') + " HTTP/1.1\r\n\r\n",
                  "GET /?" + with_byte('K') + "=1 HTTP/1.1\r\n\r\n",
                  "GET /?K=" + with_byte('v') + "&L=2 HTTP/1.1\r\n\r\n",
                  LINE + with_byte('x') + ":v\r\n\r\n", LINE + "N:" + with_byte('x') + "\r\n\r\n",
                  LINE + "N:v\r\n\r\n" + empties}) {
                bool matched = false;
                ASSERT_TRUE(agrees(text, &matched)) << "byte " << value << " at " << offset;
                matched_count += matched;
            }
        }
    }
    EXPECT_GT(matched_count, 0);
}

// Header lines of every short length, with the colon in every place, one after another so that
// lines start, divide and end at every position of a block.
TEST_F(RequestMatcherTest, ShortLinesAcrossBlocksAgreeWithRegex) {
    int matched_count = 0;
    for (size_t length = 1; length <= 9; ++length) {
        for (size_t colon = 0; colon <= length; ++colon) { // colon == length: no colon
            std::string line(length, 'h');
            if (colon < length)
                line[colon] = ':';
            for (size_t shift = 0; shift < 64; shift += 3) {
                std::string text = LINE + "Pad:" + std::string(shift, 'p') + "\r\n";
                for (size_t i = 0; i < 30; ++i)
                    text += (i == 15 ? line : "a:b" + std::string(i % 5, 'c')) + "\r\n";
                for (const std::string& tail : {std::string("\r\n"), line + "\r\n\r\n"}) {
                    bool matched = false;
                    ASSERT_TRUE(agrees(text + tail, &matched))
                        << "line " << line << ", shift " << shift;
                    matched_count += matched;
                }
            }
        }
    }
    EXPECT_GT(matched_count, 0);
}

// A long header line whose only colon lies at each position in turn, also on either side of
// a block boundary, where the byte after it is in the next block.
TEST_F(RequestMatcherTest, LoneColonAtEveryPositionAgreesWithRegex) {
    int matched_count = 0;
    for (size_t at = 0; at < 140; ++at) {
        std::string line(140, 'h');
        line[at] = ':';
        bool matched = false;
        ASSERT_TRUE(agrees(LINE + line + "\r\n\r\n", &matched)) << "colon at " << at;
        matched_count += matched;
    }
    EXPECT_EQ(matched_count, 138); // not as the first or the last byte
}

// Queries with separators out of place at every position of a block: doubled, swapped, at the
// start and at the end, and key and value bytes on the wrong side.
TEST_F(RequestMatcherTest, QueryFaultsAcrossBlocksAgreeWithRegex) {
    std::string query;
    for (size_t i = 0; query.size() < 150; ++i)
        query += std::string(1 + i % 4, 'K') + "_=" + std::string(1 + i % 3, 'v') + "9Z&";
    query += "LAST=1";
    int matched_count = 0;
    for (size_t at = 0; at < query.size(); ++at) {
        for (const char c : std::string("=&_a0Z ?\r")) {
            for (const bool insert : {false, true}) {
                std::string spoiled = query;
                if (insert)
                    spoiled.insert(at, 1, c);
                else
                    spoiled[at] = c;
                bool matched = false;
                ASSERT_TRUE(agrees("GET /p?" + spoiled + " HTTP/1.1\r\n\r\n", &matched))
                    << c << (insert ? " inserted" : " written") << " at " << at;
                matched_count += matched;
            }
        }
    }
    EXPECT_GT(matched_count, 0);
}

// Every prefix of a request with long parts, so that each run also ends short of a whole word.
TEST_F(RequestMatcherTest, EveryPrefixAgreesWithRegex) {
    const std::string text = "POST /0123456789abcdef\r\n0123?KEY_ONE=1a&K=22 HTTP/1.1 \r\n"
                             "Host: speed.example.net:8080\r\nX:y\r\n"
                             "A-long-header-name-without-colon-first: and a long value\r\n"
                             "\r\n\r\n\r\n\r\n\r\n";
    int matched_count = 0;
    for (size_t length = 0; length <= text.size(); ++length) {
        bool matched = false;
        ASSERT_TRUE(agrees(text.substr(0, length), &matched)) << "length " << length;
        matched_count += matched;
    }
    EXPECT_EQ(matched_count, 9); // at the end of each line
}

// Near-valid requests from the pattern's own grammar, with the choices that decide a match
// (empty parts, neighbouring bytes of other classes, misplaced separators, long runs) made
// often, then sometimes mutated; and some random bytes.
class RequestGenerator {
  public:
    explicit RequestGenerator(uint64_t seed) : rng(seed) {}

    std::string next() {
        if (chance(20))
            return run(MUTATION_BYTES, below(40));
        if (chance(20))
            return "GET /" + run(MUTATION_BYTES, below(40));
        std::string text = request();
        for (unsigned i = chance(3) ? 1 + below(3) : 0; i > 0; --i) {
            const unsigned at = below(static_cast<unsigned>(text.size()) + 1);
            const unsigned how = below(3);
            if (how == 0 && at < text.size())
                text[at] = from(MUTATION_BYTES);
            else if (how == 2 && at < text.size())
                text.erase(at, 1);
            else
                text.insert(at, 1, from(MUTATION_BYTES));
        }
        return text;
    }

  private:
    unsigned below(unsigned n) {
        return static_cast<unsigned>(rng() % n);
    }
    bool chance(unsigned one_in) {
        return below(one_in) == 0;
    }
    char from(const std::string& alphabet) {
        return alphabet[below(static_cast<unsigned>(alphabet.size()))];
    }
    std::string run(const std::string& alphabet, unsigned length) {
        std::string s;
        for (unsigned i = 0; i < length; ++i)
            s += from(alphabet);
        return s;
    }
    // Sometimes puts one byte of `odd` somewhere into s.
    std::string spoil(std::string s, unsigned one_in, const std::string& odd) {
        if (chance(one_in))
            s.insert(below(static_cast<unsigned>(s.size()) + 1), 1, from(odd));
        return s;
    }

    std::string path() {
        if (chance(2))
            return "";
        if (chance(10))
            return "results";
        if (chance(10))
            return spoil(run("pq/.", 8 + below(40)), 2, MUTATION_BYTES);
        // Ordinary bytes, and now and then one that only the path's class allows.
        std::string s;
        for (unsigned i = 1 + below(12); i > 0; --i)
            s += chance(8) ? from({"\r\n\t\x7F\x80\xFF", 6}) : from("abz019/._-=&:AZ");
        return s;
    }

    std::string query() {
        std::string q = "?";
        for (unsigned i = 1 + below(4); i > 0; --i) {
            q += spoil(chance(30) ? "" : run("ABCZ_", 1 + below(6)), 15, "a9=&-");
            q += chance(25) ? "" : "=";
            q += spoil(chance(30) ? "" : run("09azAZ", 1 + below(6)), 15, "_=-?/");
            if (i > 1)
                q += chance(20) ? "&&" : "&";
        }
        return chance(20) ? q + "&" : q;
    }

    // Printable text with colons placed anywhere, so that lines with a colon only at an edge,
    // or only colons, come up often.
    std::string header_line() {
        if (chance(15))
            return run(":a ", below(5));
        if (chance(10))
            return run("Name-", 1 + below(40)) + ":" + run("value ", below(chance(2) ? 3 : 40));
        const std::string name = run("Hosta-~ :", chance(20) ? 0 : 1 + below(4));
        const std::string value = run("exmpl. :", chance(20) ? 0 : 1 + below(5));
        return spoil(name + ":" + value, 40, {"\t\x7F\x80\xFF\r\n", 6});
    }

    std::string line_end() {
        return chance(25) ? (chance(2) ? "\n" : "\r") : "\r\n";
    }

    std::string request() {
        static const std::string methods[] = {"GET",  "POST", "PUT",  "HEAD",
                                              "GETT", "get",  "PUTS", ""};
        const std::string digits = "0123456789";
        std::string text = methods[chance(12) ? 4 + below(4) : below(4)];
        text += (chance(20) ? "  /" : " /") + path() + (chance(2) ? query() : "");
        text += chance(25) ? " http/" : " HTTP/";
        text += run(digits, chance(30) ? 0 : 1 + below(3)) + (chance(20) ? "" : ".");
        text += run(digits, chance(30) ? 0 : 1 + below(3));
        text += chance(3) ? (chance(10) ? "  " : " ") : "";
        text += line_end();
        for (unsigned i = below(5); i > 0; --i)
            text += header_line() + line_end();
        for (unsigned i = below(4); i > 0; --i)
            text += line_end();
        if (chance(15))
            text += header_line() + line_end();
        if (chance(15))
            text += run(MUTATION_BYTES, 1 + below(6));
        return text;
    }

    std::mt19937_64 rng;
};

TEST_F(RequestMatcherTest, GeneratedRequestsAgreeWithRegex) {
    // Sanitizer builds run several times slower; they check as thoroughly, on fewer texts.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int CASES = 60000;
#else
    constexpr int CASES = 400000;
#endif
    RequestGenerator generator(20240521);
    int matched_count = 0;
    int with_path = 0;
    int with_query = 0;
    int ended_by_nul = 0;
    int failures = 0;
    for (int i = 0; i < CASES && failures < 10; ++i) {
        const std::string text = generator.next();
        bool matched = false;
        regmatch_t m[GROUPS];
        const testing::AssertionResult result = agrees(text, &matched, m);
        EXPECT_TRUE(result) << "case " << i;
        failures += !result;
        if (!result || !matched)
            continue;
        ++matched_count;
        with_path += m[2].rm_so >= 0;
        with_query += m[3].rm_so >= 0;
        ended_by_nul += static_cast<size_t>(m[0].rm_eo) < text.size();
    }
    // The generator must keep both verdicts, both optional groups and the early end common, or
    // the agreement above would prove little.
    EXPECT_GT(matched_count, CASES / 10);
    EXPECT_LT(matched_count, CASES * 9 / 10);
    EXPECT_GT(with_path, matched_count / 5);
    EXPECT_GT(with_query, matched_count / 10);
    EXPECT_GT(ended_by_nul, 0);
}

// The statistics request reads the path group: absent, other or "results" with anything after.
TEST(LatencyRequestMatch, ResultsPathDecides) {
    const auto parse = [](const std::string& text) {
        return parse_latency_request(text.c_str(), text.size(), true);
    };
    EXPECT_EQ(parse("GET /results?CONTROL=1 HTTP/1.1 \r\nHost: a:80\r\n\r\n"),
              LATENCY_REQUEST_COMPLETE);
    EXPECT_EQ(parse(LINE + "a" + std::string(20000, ':') + "b\r\n\r\n"), LATENCY_REQUEST_INVALID);
    EXPECT_EQ(parse("GET /results HTTP/1.1\r\na" + std::string(20000, ':') + "b\r\n\r\n"),
              LATENCY_REQUEST_COMPLETE);
    EXPECT_EQ(parse("GET /results HTTP/1.1\r\nHost:\r\n\r\n"), LATENCY_REQUEST_INVALID);
    EXPECT_EQ(parse("GET /results/ HTTP/1.1\r\n\r\n"), LATENCY_REQUEST_INVALID);
}

} // namespace

namespace {

// A header line that stops at a CR opening the next line, without its LF, is no blank line:
// the header is refused, and whether CR LF CR LF occurs is the answer of a search.
TEST_F(RequestMatcherTest, ACrOpeningALineWithoutItsLfIsNoBlankLine) {
    for (const std::string& text :
         {std::string("GET / HTTP/1.1\r\nA: b\r\n\r*\n"), std::string("GET / HTTP/1.1\r\n\r*\n"),
          std::string("POST /upEGATE_UP=5 HTTP/1.1\r\nUITID=_WA: -t /upl+od?CAGGREGATE_UP=5 "
                      "HTTP/1.1\r\nUITID=_WA: -t\r\n\r*\n"),
          std::string("GET / HTTP/1.1\r\nA: b\r\n\rx\r\n\r\n"),
          std::string("GET / HTTP/1.1\r\nA: b\r\n\r")})
        EXPECT_TRUE(agrees(text));
}

} // namespace
