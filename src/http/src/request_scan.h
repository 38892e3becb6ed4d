// The request matcher, compiled once for each vector width the server can use: a file that
// includes this defines VH_SCAN_WIDTH (16 or 32 bytes) and VH_SCAN_NAMESPACE, and compiles it for
// a processor that has vectors of that width. Everything here has internal linkage, so that the
// variants of one function never stand in for each other.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <regex.h>
#include <string_view>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {
namespace VH_SCAN_NAMESPACE {

// The text is classified a vector (16 or 32 bytes) at a time into bit masks, one bit a byte in
// memory order, and the pattern's rules are checked on the masks: a header of thousands of short
// lines or query parameters then costs what its length costs, not what its number of items does.
typedef signed char vec __attribute__((vector_size(VH_SCAN_WIDTH)));
constexpr size_t VEC = sizeof(vec);
constexpr size_t BLOCK = 64; // one 64-bit mask
constexpr size_t PER_BLOCK = BLOCK / VEC;

vec splat(char c) {
    return vec{} + static_cast<signed char>(c);
}

vec load(const char* p) {
    vec v;
    memcpy(&v, p, sizeof v);
    return v;
}

// A vector from `at`, with NUL in place of the bytes at and after `end`: NUL is in none of the
// pattern's classes, so the end stops every run by itself.
vec load_within(const char* text, size_t at, size_t end) {
    if (end - at >= VEC)
        return load(text + at);
    char buffer[VEC] = {};
    memcpy(buffer, text + at, end - at);
    return load(buffer);
}

// The high bit of each byte of a comparison result (all ones or all zeros per byte).
[[gnu::always_inline]] inline uint32_t bits_of(vec m) {
#if VH_SCAN_WIDTH == 32 && defined(__AVX2__)
    return static_cast<uint32_t>(_mm256_movemask_epi8((__m256i)m));
#elif VH_SCAN_WIDTH == 16 && defined(__SSE2__)
    return static_cast<uint32_t>(_mm_movemask_epi8((__m128i)m));
#else
    uint32_t bits = 0;
    for (size_t i = 0; i < VEC; ++i)
        bits |= static_cast<uint32_t>(m[i] < 0) << i;
    return bits;
#endif
}

vec in_range(vec v, char low, char high) {
    // Signed bytes: everything from 0x80 up is negative and outside every ASCII range.
    return (v > splat(static_cast<char>(low - 1))) & (splat(static_cast<char>(high + 1)) > v);
}

// 64 bytes from `at`, padded with NUL after `end` as load_within does, and the byte before `at`
// (which must exist) in `before`, so that a test can look one byte back without a carry.
struct block {
    vec v[PER_BLOCK];
    vec before[PER_BLOCK];
};

[[gnu::always_inline]] inline block load_block(const char* text, size_t at, size_t end) {
    block b;
    if (end - at >= BLOCK) {
#pragma GCC unroll 4
        for (size_t k = 0; k < PER_BLOCK; ++k) {
            b.v[k] = load(text + at + k * VEC);
            b.before[k] = load(text + at - 1 + k * VEC);
        }
        return b;
    }
    char buffer[BLOCK + 1] = {};
    buffer[0] = text[at - 1];
    memcpy(buffer + 1, text + at, end - at);
#pragma GCC unroll 4
    for (size_t k = 0; k < PER_BLOCK; ++k) {
        b.v[k] = load(buffer + 1 + k * VEC);
        b.before[k] = load(buffer + k * VEC);
    }
    return b;
}

template <class Test>
[[gnu::always_inline]] inline uint64_t mask_of(const vec (&v)[PER_BLOCK], Test test) {
    uint64_t mask = 0;
#pragma GCC unroll 4
    for (size_t k = 0; k < PER_BLOCK; ++k)
        mask |= static_cast<uint64_t>(bits_of(test(v[k]))) << (k * VEC);
    return mask;
}

// Bits of the first `n` bytes of a block.
uint64_t first_bytes(size_t n) {
    return n >= BLOCK ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
}

// The bits below the lowest set bit of m (all bits when m is zero).
uint64_t below_lowest(uint64_t m) {
    return m == 0 ? ~uint64_t{0} : (m & -m) - 1;
}

// Each bit the parity of the set bits of m up to and including it.
uint64_t prefix_parity(uint64_t m) {
#if defined(__PCLMUL__)
    // Carry-less multiplication by all ones is the prefix XOR.
    const __m128i product =
        _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(m)), _mm_set1_epi8(-1), 0);
    return static_cast<uint64_t>(_mm_cvtsi128_si64(product));
#else
    for (unsigned shift = 1; shift < 64; shift *= 2)
        m ^= m << shift;
    return m;
#endif
}

// Whether CR LF CR LF lies wholly within [from, to).
bool contains_blank_line(const char* text, size_t from, size_t to) {
    const vec cr = splat('\r'), lf = splat('\n');
    size_t i = from;
    // Four loads per position, the last reading up to BLOCK + 2 bytes past i.
    for (; i < to && to - i >= BLOCK + 3; i += BLOCK) {
        vec any{};
#pragma GCC unroll 4
        for (size_t k = 0; k < PER_BLOCK; ++k)
            any |= load(text + i + k * VEC) == cr;
        if (bits_of(any) == 0)
            continue;
        for (size_t k = 0; k < BLOCK; k += VEC) {
            const char* p = text + i + k;
            const vec hit =
                (load(p) == cr) & (load(p + 1) == lf) & (load(p + 2) == cr) & (load(p + 3) == lf);
            if (bits_of(hit) != 0)
                return true;
        }
    }
    return i < to && to - i >= 4 && memmem(text + i, to - i, "\r\n\r\n", 4) != nullptr;
}

// A cursor over the text up to its first NUL, where the regex engine would stop. peek() gives
// NUL at the end, which no byte before it can be, so every class test fails there by itself.
struct scanner {
    const char* text;
    size_t end;
    size_t at = 0;

    unsigned char peek() const {
        return at < end ? static_cast<unsigned char>(text[at]) : 0;
    }
    bool accept(char c) {
        if (at >= end || text[at] != c)
            return false;
        ++at;
        return true;
    }
    bool literal(std::string_view s) {
        if (end - at < s.size() || memcmp(text + at, s.data(), s.size()) != 0)
            return false;
        at += s.size();
        return true;
    }
    bool crlf() {
        if (end - at < 2 || text[at] != '\r' || text[at + 1] != '\n')
            return false;
        at += 2;
        return true;
    }
    // Consumes the longest run of bytes that pass `in_class` (a vector test, false on NUL) and
    // returns its length. ORs the vector test `seen` of every byte looked at into *seen_any.
    template <class InClass, class Seen> size_t skip(InClass in_class, Seen seen, vec* seen_any) {
        const size_t start = at;
        for (; at < end; at += VEC) {
            const vec v = load_within(text, at, end);
            *seen_any |= seen(v);
            const uint64_t stops = ~static_cast<uint64_t>(bits_of(in_class(v))) & first_bytes(VEC);
            if (stops != 0) {
                at += static_cast<size_t>(std::countr_zero(stops));
                break;
            }
        }
        at = std::min(at, end);
        return at - start;
    }
    template <class InClass> size_t skip(InClass in_class) {
        vec unused{};
        return skip(
            in_class, [](vec) { return vec{}; }, &unused);
    }
    // Whether only CRLF pairs remain.
    bool only_line_ends_left() const {
        if ((end - at) % 2 != 0)
            return false;
        vec pairs;
        for (size_t k = 0; k < VEC; ++k)
            pairs[k] = k % 2 == 0 ? '\r' : '\n';
        size_t i = at;
        for (; end - i >= VEC; i += VEC) {
            if (bits_of(load(text + i) != pairs) != 0)
                return false;
        }
        for (; i < end; i += 2) {
            if (text[i] != '\r' || text[i + 1] != '\n')
                return false;
        }
        return true;
    }

    bool query();
    int header_lines();
};

// One bit a byte: "=" or "&"; allowed where the query's separator parity is odd (letters, digits,
// "_", "-", ".", "="); allowed where it is even (upper-case letters, "_", "&").
struct query_bytes {
    uint32_t sep, odd_ok, even_ok;
};

#if VH_SCAN_WIDTH == 32 && defined(__AVX2__)
// Each byte's two halves look up a set of ranges in two tables; the byte lies in the ranges both
// lookups name. One bit a range: "&", "=", 0-9, A-O, P-Z, "_", a-o, p-z.
enum : uint8_t {
    IN_AMP = 1,
    IN_EQ = 2,
    IN_DIGIT = 4,
    IN_UPPER_A_O = 8,
    IN_UPPER_P_Z = 16,
    IN_US = 32,
    IN_LOWER_A_O = 64,
    IN_LOWER_P_Z = 128,
};

// The ranges a byte with this high half can lie in.
constexpr char by_high_half(unsigned h) {
    constexpr uint8_t ranges[16] = {
        0,           0, IN_AMP, IN_EQ | IN_DIGIT, IN_UPPER_A_O, IN_UPPER_P_Z | IN_US, IN_LOWER_A_O,
        IN_LOWER_P_Z};
    return static_cast<char>(ranges[h]);
}

// The ranges a byte with this low half can lie in.
constexpr char by_low_half(unsigned l) {
    unsigned r = 0;
    if (l <= 9)
        r |= IN_DIGIT;
    if (l <= 0xA)
        r |= IN_UPPER_P_Z | IN_LOWER_P_Z;
    if (l >= 1)
        r |= IN_UPPER_A_O | IN_LOWER_A_O;
    if (l == ('&' & 0xF))
        r |= IN_AMP;
    if (l == ('=' & 0xF))
        r |= IN_EQ;
    if (l == ('_' & 0xF))
        r |= IN_US;
    return static_cast<char>(r);
}

#define VH_HALVES(f)                                                                               \
    f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(7), f(8), f(9), f(10), f(11), f(12), f(13), f(14), \
        f(15)

[[gnu::always_inline]] inline query_bytes classify_query_bytes(vec v) {
    const __m256i high_table = _mm256_setr_epi8(VH_HALVES(by_high_half), VH_HALVES(by_high_half));
    const __m256i low_table = _mm256_setr_epi8(VH_HALVES(by_low_half), VH_HALVES(by_low_half));
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i bytes = (__m256i)v;
    const __m256i ranges = _mm256_and_si256(
        _mm256_shuffle_epi8(low_table, _mm256_and_si256(bytes, nibble)),
        _mm256_shuffle_epi8(high_table, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble)));
    const auto in_any = [&](unsigned bits) {
        const __m256i none =
            _mm256_cmpeq_epi8(_mm256_and_si256(ranges, _mm256_set1_epi8(static_cast<char>(bits))),
                              _mm256_setzero_si256());
        return ~static_cast<uint32_t>(_mm256_movemask_epi8(none));
    };
    // "-" and "." share their halves with "&" and with no range of ours: compared directly.
    const uint32_t dash_dot = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('-')),
                                             _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('.')))));
    return {in_any(IN_AMP | IN_EQ),
            in_any(IN_EQ | IN_DIGIT | IN_UPPER_A_O | IN_UPPER_P_Z | IN_US | IN_LOWER_A_O |
                   IN_LOWER_P_Z) |
                dash_dot,
            in_any(IN_AMP | IN_UPPER_A_O | IN_UPPER_P_Z | IN_US)};
}
#undef VH_HALVES
#else
[[gnu::always_inline]] inline query_bytes classify_query_bytes(vec v) {
    const vec is_eq = v == splat('='), is_amp = v == splat('&');
    const vec upper = in_range(v, 'A', 'Z');
    const vec underscore = v == splat('_');
    return {bits_of(is_eq | is_amp),
            bits_of(upper | in_range(v, 'a', 'z') | in_range(v, '0', '9') | is_eq | underscore |
                    (v == splat('-')) | (v == splat('.'))),
            bits_of(upper | underscore | is_amp)};
}
#endif

// The query after its "?": ([A-Z_]+=[[:alnum:]_.-]+&)*[A-Z_]+=[[:alnum:]_.-]+, ended by the first
// byte that is neither a letter, a digit, "_", "-", ".", "=" nor "&". Each "=" and "&" flips the
// parity of the separators seen so far, so a byte lies in a key where the parity is even and in a
// value where it is odd; the separators alternate when every "=" makes the parity odd and every "&"
// even.
bool scanner::query() {
    uint64_t parity = 0;    // all ones after an odd number of separators
    uint64_t after_sep = 1; // the byte before the next one is a separator (or the "?")
    for (;;) {
        const block b = load_block(text, at, end);
        // What may lie where the parity is odd (a value's letters and digits, and the "=" before
        // it) and where it is even (a key's upper-case letters and "_", and the "&" before it).
        // A byte allowed in neither place ends the query, or is a fault if it is "=" or "&".
        uint64_t sep = 0, odd_ok = 0, even_ok = 0;
#pragma GCC unroll 4
        for (size_t k = 0; k < PER_BLOCK; ++k) {
            const query_bytes q = classify_query_bytes(b.v[k]);
            const size_t shift = k * VEC;
            sep |= static_cast<uint64_t>(q.sep) << shift;
            odd_ok |= static_cast<uint64_t>(q.odd_ok) << shift;
            even_ok |= static_cast<uint64_t>(q.even_ok) << shift;
        }
        const uint64_t par = prefix_parity(sep) ^ parity;
        const uint64_t wrong = (~odd_ok & par) | (~even_ok & ~par);
        // The first byte out of place must be one that belongs to no query at all: the end.
        if (wrong != 0 && (((odd_ok | even_ok) >> std::countr_zero(wrong)) & 1) != 0)
            return false;
        const uint64_t live = below_lowest(wrong);
        const uint64_t seps = sep & live;
        // No empty key or value: no separator right after another or after the "?".
        if (seps & ((seps << 1) | after_sep))
            return false;
        if (wrong != 0) {
            const size_t length = static_cast<size_t>(std::countr_zero(wrong));
            at += length;
            // The query must end in a non-empty value: an odd parity, the last byte no separator.
            const bool last_is_sep = length == 0 ? after_sep != 0 : (seps >> (length - 1)) & 1;
            const bool odd_end = length == 0 ? parity != 0 : (par >> (length - 1)) & 1;
            return odd_end && !last_is_sep;
        }
        at += BLOCK;
#if defined(__POPCNT__)
        // From the count rather than from `par`, so that the next block need not wait for the
        // prefix computation.
        parity ^= (std::popcount(sep) & 1) != 0 ? ~uint64_t{0} : 0;
#else
        parity = (par >> 63) != 0 ? ~uint64_t{0} : 0;
#endif
        after_sep = seps >> 63;
    }
}

// Header lines, then empty lines, up to the end of the text, from a line start just after a CRLF.
// A header line is printable bytes with a colon that has a printable byte on either side; which
// colon divides it does not matter. Returns 1 on a match, 0 on a mismatch that lies after an empty
// line (so the text holds CR LF CR LF), -1 on any other mismatch, leaving `at` at the start of
// the block where it was found (no CR LF CR LF starts more than three bytes before it).
int scanner::header_lines() {
    if (at < end && text[end - 1] != '\n')
        return -1;
    uint64_t cr_before = uint64_t{1} << 62; // the CR of the CRLF before the first line
    uint64_t colon_carry = 0;
    bool line_carry = false;
    while (at < end) {
        const block b = load_block(text, at, end);
        const uint64_t live = first_bytes(end - at);
        // Every byte printable, CR or LF, and an LF exactly where a CR precedes.
        vec wrong[PER_BLOCK];
#pragma GCC unroll 4
        for (size_t k = 0; k < PER_BLOCK; ++k) {
            const vec v = b.v[k];
            const vec is_cr = v == splat('\r'), is_lf = v == splat('\n');
            wrong[k] =
                (is_lf ^ (b.before[k] == splat('\r'))) | ~(in_range(v, ' ', '~') | is_cr | is_lf);
        }
        vec any_wrong{};
#pragma GCC unroll 4
        for (size_t k = 0; k < PER_BLOCK; ++k)
            any_wrong |= wrong[k];
        if (live == ~uint64_t{0} ? bits_of(any_wrong) != 0
                                 : (mask_of(wrong, [](vec v) { return v; }) & live) != 0)
            return -1;
        const uint64_t cr = mask_of(b.v, [](vec v) { return v == splat('\r'); });
        const uint64_t colon = mask_of(b.v, [](vec v) { return v == splat(':'); });
        const uint64_t lf = (cr << 1) | (cr_before >> 63);
        const uint64_t starts = ((cr << 2) | (cr_before >> 62)) & live;
        const uint64_t printable = live & ~cr & ~lf;
        const uint64_t empty = starts & cr;
        const uint64_t in_lines = below_lowest(empty);
        // A printable byte after a colon that does not open its line: the line has its divider
        // once one of these comes before its CR.
        const uint64_t inner_colon = colon & ~starts;
        const uint64_t divided = ((inner_colon << 1) | colon_carry) & printable;
        const uint64_t events = divided | cr;
        // Adding each line's start bit to the run of non-events from it carries into the line's
        // first event (or out of the block, into the next one): a CR there means a line without
        // a divider.
        const uint64_t line_starts = starts & ~cr & in_lines;
        uint64_t sum;
        bool carry = __builtin_add_overflow(~events, line_starts, &sum);
        carry |= __builtin_add_overflow(sum, static_cast<uint64_t>(line_carry), &sum);
        if ((sum & events & cr & in_lines) != 0)
            return -1;
        if (empty != 0) {
            at += static_cast<size_t>(std::countr_zero(empty));
            return only_line_ends_left() ? 1 : 0;
        }
        line_carry = carry;
        colon_carry = inner_colon >> 63;
        cr_before = cr;
        at += BLOCK;
    }
    at = end;
    return 1;
}

void set_match(regmatch_t* m, size_t start, size_t end) {
    m->rm_so = static_cast<regoff_t>(start);
    m->rm_eo = static_cast<regoff_t>(end);
}

void clear_match(regmatch_t* m) {
    m->rm_so = -1;
    m->rm_eo = -1;
}

// Sub-matches of REQUEST_PATTERN: whole header, method, path, query with its "?".
constexpr size_t MATCH_COUNT = 4;
constexpr size_t MATCH_PATH = 2;
constexpr size_t MATCH_QUERY = 3;

// Every part of the pattern is followed by a byte it cannot contain itself (the path by "?" or
// " ", a key by "=", a value by "&" or " ", a header line by CR), so each part is the longest run
// of its class and the whole text splits one way only: a single pass decides the match and
// fixes every sub-match, where the regex engine's sub-match search costs far more per byte on
// long runs of colons or many short lines.
//
// With `blank_line` it also tells whether CR LF CR LF occurs anywhere in the `size` bytes (NULs
// included), as a search would, but without searching what the match has already ruled out: of
// the text up to its first NUL only the path and the first empty line can hold it.
bool match_request(const char* data, size_t size, regmatch_t match[4], bool* blank_line) {
    scanner in{data, strnlen(data, size)};
    bool blank = false;
    // Where a search for CR LF CR LF must start once the match has failed.
    size_t unsearched = 0;
    const auto refuse = [&] {
        if (blank_line != nullptr)
            *blank_line = blank || contains_blank_line(data, unsearched, in.end) ||
                          (in.end < size && contains_blank_line(data, in.end + 1, size));
        return false;
    };

    // No method is a prefix of another, so at most one of them can be followed by " /".
    size_t method_length = 0;
    for (const std::string_view method : {"GET", "POST", "PUT", "HEAD"}) {
        if (in.literal(method)) {
            method_length = method.size();
            break;
        }
    }
    if (method_length == 0 || !in.literal(" /"))
        return refuse();

    // The path takes CR, LF and bytes above 0x7E as well; when it is empty its optional group
    // takes no part in the match.
    const size_t path_start = in.at;
    vec cr_seen{};
    const size_t path_length =
        in.skip([](vec v) { return (v != splat('?')) & (v != splat(' ')) & (v != vec{}); },
                [](vec v) { return v == splat('\r'); }, &cr_seen);
    if (path_length > 0)
        set_match(&match[MATCH_PATH], path_start, in.at);
    else
        clear_match(&match[MATCH_PATH]);
    if (blank_line != nullptr && bits_of(cr_seen) != 0)
        blank = contains_blank_line(data, path_start, in.at);
    // The byte after the path is "?", " " or the end: no CR LF CR LF spans it.
    unsearched = in.at;

    // A "?" can only open the query: nothing else in the pattern may follow the path with it.
    if (in.peek() == '?') {
        const size_t query_start = in.at++;
        if (!in.query())
            return refuse();
        set_match(&match[MATCH_QUERY], query_start, in.at);
    } else {
        clear_match(&match[MATCH_QUERY]);
    }

    const auto digit = [](vec v) { return in_range(v, '0', '9'); };
    if (!in.literal(" HTTP/") || in.skip(digit) == 0 || !in.accept('.') || in.skip(digit) == 0)
        return refuse();
    in.accept(' ');
    if (!in.crlf())
        return refuse();

    unsearched = in.at - 2;
    const int lines = in.header_lines();
    if (lines <= 0) {
        // Where the header lines stopped says too little (a CR that opens a line need not
        // be followed by its LF): search them all.
        return refuse();
    }
    if (blank_line != nullptr)
        *blank_line = blank || (in.end >= 4 && memcmp(data + in.end - 4, "\r\n\r\n", 4) == 0) ||
                      (in.end < size && contains_blank_line(data, in.end + 1, size));

    set_match(&match[0], 0, in.end);
    set_match(&match[1], 0, method_length);
    return true;
}

} // namespace VH_SCAN_NAMESPACE
} // namespace
