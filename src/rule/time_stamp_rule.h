// The rule on a stream of text: after every tag that opens a time stamp ("<time>",
// "<CreationTime>", either with a namespace prefix: "<gpx:time>", "<ctx:CreationTime>"), and
// whatever whitespace follows it (spaces, tabs, line ends of any style, as an XML reader passes
// them over), the date text that runs to the next capital "T" is moved when the rule says so;
// everything else is left as it is. A receiver may write a whole track on one line, so every time
// stamp counts, not just a line's first.
//
// A date that moves is exactly dateTextLength units of digits and dashes followed by its "T",
// so it holds no '<' and no line end: it is decided from the eleven units after its whitespace,
// and can neither hide a tag nor be cut by one. A text that is no date holds nothing back
// either: the search for the next tag goes on right after the whitespace, so
// "<time>x<time>1999-..." still finds the second one. A line end inside a tag or a date text
// makes it no tag or no date, whatever the file's line ends are: the rule sees the text with
// its carriage returns still in it.
//
// A block of text is handed over whole; what the rule cannot decide yet at its end (a tag or
// a date cut by the block's end: at most maxUndecidedUnits units) is left for the caller to
// hand over again, in front of the next block. Whitespace after a tag is never held back, however
// long it runs: that a date is still awaited is all the rule carries from one block to the next.
#pragma once

#include "rule/rollover_date.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace detail
{

// A namespace prefix is read up to this many units: a tag is found from its end, and a tag that
// a block's end cuts short is carried whole into the next block, so its length is bounded. Real
// prefixes ("gpx", "gpxtpx", "ctx") are a few letters.
constexpr int maxPrefixUnits = 100;
// The longest start of a tag the rule reads that still lacks its '>': "<P:CreationTime".
constexpr int maxOpenTagUnits = 1 + maxPrefixUnits + 1 + 12;

#ifdef __SSE2__
// Sixteen bytes at a time, as units of Unit's width.
template <typename Unit> __m128i unitsEqual(__m128i a, __m128i b)
{
    if constexpr (sizeof(Unit) == 1)
        return _mm_cmpeq_epi8(a, b);
    else if constexpr (sizeof(Unit) == 2)
        return _mm_cmpeq_epi16(a, b);
    else
        return _mm_cmpeq_epi32(a, b);
}

template <typename Unit> __m128i everyUnit(char c)
{
    if constexpr (sizeof(Unit) == 1)
        return _mm_set1_epi8(c);
    else if constexpr (sizeof(Unit) == 2)
        return _mm_set1_epi16(short(c));
    else
        return _mm_set1_epi32(int(c));
}

template <typename Unit> __m128i loadUnits(const Unit *at)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
}

constexpr int bytesPerVector = 16;
#endif

template <typename Unit> const Unit *findUnit(const Unit *from, const Unit *to, char wanted)
{
    if constexpr (sizeof(Unit) == 1) {
        const void *hit = std::memchr(from, wanted, std::size_t(to - from));
        return hit ? static_cast<const Unit *>(hit) : to;
    } else {
#ifdef __SSE2__
        constexpr int lanes = bytesPerVector / int(sizeof(Unit));
        const __m128i unit = everyUnit<Unit>(wanted);
        for (; to - from >= lanes; from += lanes) {
            const int hits = _mm_movemask_epi8(unitsEqual<Unit>(loadUnits(from), unit));
            if (hits != 0)
                return from + __builtin_ctz(unsigned(hits)) / int(sizeof(Unit));
        }
#endif
        while (from != to && *from != Unit(wanted))
            ++from;
        return from;
    }
}

#ifdef __SSE2__
// Where, among the sixteen bytes at `at`, an 'i' stands two units after a '<', a ':' or an 'n'.
// '<' and ':' are the two units that OR 0x06 makes '>' but for '8' and '>' themselves, which the
// caller lets go by: one comparison for the two.
template <typename Unit> __m128i tagsAt(const Unit *at)
{
    const __m128i first = loadUnits(at);
    const __m128i opens = _mm_or_si128(
        unitsEqual<Unit>(_mm_or_si128(first, everyUnit<Unit>(0x06)), everyUnit<Unit>('>')),
        unitsEqual<Unit>(first, everyUnit<Unit>('n')));
    return _mm_and_si128(opens, unitsEqual<Unit>(loadUnits(at + 2), everyUnit<Unit>('i')));
}
#endif

// Whether a tag the rule reads may stand at `at`, which holds at least three units: "<ti" or
// ":ti" begins "time", and "nTi" ends the "Creation" of "CreationTime".
template <typename Unit> bool mayBeTag(const Unit *at)
{
    return at[2] == Unit('i') &&
           (((at[0] == Unit('<') || at[0] == Unit(':')) && at[1] == Unit('t')) ||
            (at[0] == Unit('n') && at[1] == Unit('T')));
}

// The first place in [from, to) where mayBeTag holds: in GPX few places but the tags do
// ("<trkpt", "<ele>" and "</time>" do not), so checking them one by one is cheap. Sixteen bytes
// are tested at a time where the processor has SSE2. Returns `to` when there is none; one among
// the last two units is left to the caller, whose tag the next block may end.
template <typename Unit> Unit *findTag(Unit *from, Unit *to)
{
#ifdef __SSE2__
    constexpr int lanes = bytesPerVector / int(sizeof(Unit));
    for (; to - from >= lanes + 2; from += lanes) {
        const int hits = _mm_movemask_epi8(tagsAt(from));
        for (unsigned left = unsigned(hits); left != 0; left &= left - 1) {
            Unit *const at = from + __builtin_ctz(left) / int(sizeof(Unit));
            if (mayBeTag(at))
                return at;
        }
    }
#endif
    for (; to - from >= 3; ++from)
        if (mayBeTag(from))
            return from;
    return to;
}

template <typename Unit> bool equalsAscii(const Unit *at, const char *text, int length)
{
    for (int i = 0; i < length; ++i)
        if (at[i] != Unit(text[i]))
            return false;
    return true;
}

// What an XML name may hold, every unit outside ASCII taken for a letter; a prefix holds no ':'.
template <typename Unit> bool isNameStart(Unit u)
{
    return (u >= Unit('a') && u <= Unit('z')) || (u >= Unit('A') && u <= Unit('Z')) ||
           u == Unit('_') || u >= Unit(0x80);
}

template <typename Unit> bool isNameUnit(Unit u)
{
    return isNameStart(u) || (u >= Unit('0') && u <= Unit('9')) || u == Unit('-') || u == Unit('.');
}

// Whether the ':' at `colon` ends a namespace prefix that a '<' begins: an XML name of at most
// maxPrefixUnits. `begin` is where the text in hand begins: a tag that began before it would have
// been carried into it, so there is nothing before it to look at.
template <typename Unit> bool endsPrefix(const Unit *begin, const Unit *colon)
{
    const Unit *const stop = colon - std::min<std::ptrdiff_t>(colon - begin, maxPrefixUnits);
    const Unit *prefix = colon;
    while (prefix != stop && isNameUnit(prefix[-1]))
        --prefix;
    return prefix != colon && prefix != begin && prefix[-1] == Unit('<') && isNameStart(*prefix);
}

enum class TagReading { none, opens, cut };

// Whether the tag that findTag found at `at` opens a time stamp: "<time>" or "<CreationTime>",
// bare or after a prefix. A tag with attributes, an end tag, another letter case or another name
// is none; one that `end` cuts before it can tell is cut. `tagEnd` learns where it ends.
template <typename Unit>
TagReading readTag(const Unit *begin, const Unit *at, const Unit *end, const Unit *&tagEnd)
{
    const Unit *start = at; // the '<' or ':' before the name
    if (*at == Unit('n')) {
        start = at - 8;
        if (at - begin < 8 || !equalsAscii(start + 1, "Creatio", 7) ||
            (*start != Unit('<') && *start != Unit(':')))
            return TagReading::none;
    }
    if (*start == Unit(':') && !endsPrefix(begin, start))
        return TagReading::none;
    // What follows the "ti" found: "me>".
    const Unit *const rest = at + 3;
    const std::ptrdiff_t room = std::min<std::ptrdiff_t>(end - rest, 3);
    if (!equalsAscii(rest, "me>", int(room)))
        return TagReading::none;
    tagEnd = rest + 3;
    return room == 3 ? TagReading::opens : TagReading::cut;
}

// Where a tag that the end of [from, end) may cut short begins: a '<' among the last
// maxOpenTagUnits units followed by nothing but what a name holds. `end` when there is none.
// `from` is where the text in hand begins, not where the search stopped: a candidate let go
// inside a tag's prefix ("<nTi:ti") leaves the search past the tag's '<'.
template <typename Unit> Unit *openTagAtEnd(Unit *from, Unit *end)
{
    Unit *const stop = end - std::min<std::ptrdiff_t>(end - from, maxOpenTagUnits);
    Unit *p = end;
    while (p != stop && (isNameUnit(p[-1]) || p[-1] == Unit(':')))
        --p;
    return p != stop && p[-1] == Unit('<') ? p - 1 : end;
}

} // namespace detail

struct TimeStampCount {
    qint64 seen = 0; // every tag that opens a time stamp
    qint64 moved = 0;
};

// The most units correctTimeStamps leaves undecided at a block's end: a tag cut short before its
// '>', or a date text and the "T" after it, all but the last unit.
constexpr int maxUndecidedUnits = std::max(detail::maxOpenTagUnits, dateTextLength);

// What the rule carries from one block to the next, but the text it hands back.
template <typename Unit> struct RuleState {
    bool awaitingDate = false; // a tag has been read, and nothing since but whitespace
    LastDate<Unit> last;       // the last date text's reading
};

namespace detail
{

template <typename Unit> bool isWhitespace(Unit u)
{
    return u == Unit(' ') || u == Unit('\t') || u == Unit('\n') || u == Unit('\r');
}

} // namespace detail

// Runs [p, end) through the rule, writing each moved date over the old one in place (it has
// the same length). Returns where the text that cannot be decided before more of it comes
// begins; everything before that is final. With `atEnd` (no more text follows) that is `end`.
// `count` adds up the time stamps decided and those moved.
template <typename Unit>
Unit *correctTimeStamps(Unit *p, Unit *end, bool atEnd, const QDate &today, RuleState<Unit> &state,
                        TimeStampCount &count)
{
    Unit *const begin = p;
    for (;;) {
        if (state.awaitingDate) {
            while (p != end && detail::isWhitespace(*p))
                ++p;
            if (p == end && !atEnd)
                return end;
            if (end - p <= dateTextLength) { // too short for a date and its "T" so far
                if (!atEnd)
                    return p;
            } else if (p[dateTextLength] == Unit('T')) {
                if (const Unit *moved = moveRolledOverDate(p, dateTextLength, state.last, today)) {
                    std::copy(moved, moved + dateTextLength, p);
                    ++count.moved;
                }
                // A date and its "T" hold no tag: the search goes on after them.
                if (state.last.shifted.isValid())
                    p += dateTextLength + 1;
            }
            state.awaitingDate = false;
        }
        Unit *const at = detail::findTag(p, end);
        const Unit *tagEnd = at + 6;
        // Most tags found are a bare "<time>": read here, the others by readTag.
        const detail::TagReading tag = at == end ? detail::TagReading::cut
                                       : end - at >= 6 && at[0] == Unit('<') &&
                                               at[3] == Unit('m') && at[4] == Unit('e') &&
                                               at[5] == Unit('>')
                                           ? detail::TagReading::opens
                                           : detail::readTag<Unit>(begin, at, end, tagEnd);
        if (tag == detail::TagReading::cut)
            return atEnd ? end : detail::openTagAtEnd(begin, end);
        if (tag == detail::TagReading::none) {
            p = at + 1;
            continue;
        }
        p = const_cast<Unit *>(tagEnd);
        ++count.seen;
        state.awaitingDate = true;
    }
}
