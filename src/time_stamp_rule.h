// The rule on a stream of text: after every "<time>", and whatever whitespace follows it (spaces,
// tabs, line ends of any style, as an XML reader passes them over), the date text that runs to
// the next capital "T" is moved when the rule says so; everything else is left as it is. A
// receiver may write a whole track on one line, so every time stamp counts, not just a line's
// first.
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

#include "rollover_date.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace detail
{

constexpr char timeTag[] = "<time>";
constexpr int timeTagLength = 6;

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

// How many units of the tag stand at `at`; stops at `to`.
template <typename Unit> int matchTag(const Unit *at, const Unit *to)
{
    int matched = 0;
    while (matched < timeTagLength && at != to && *at == Unit(timeTag[matched])) {
        ++at;
        ++matched;
    }
    return matched;
}

// The first place in [from, to) where a '<' stands two units before an 'i': every "<time>"
// starts at one, and in GPX few other places do ("<trkpt", "<ele>" and "</" do not), so
// checking them one by one is cheap. Sixteen bytes are tested at a time where the processor
// has SSE2. When there is none, returns a place among the last two units, which are left to
// the caller: they may begin a tag that the next block ends.
template <typename Unit> Unit *findTagCandidate(Unit *from, Unit *to)
{
#ifdef __SSE2__
    constexpr int lanes = bytesPerVector / int(sizeof(Unit));
    const __m128i lessThan = everyUnit<Unit>('<'), letterI = everyUnit<Unit>('i');
    for (; to - from >= lanes + 2; from += lanes) {
        const __m128i both = _mm_and_si128(unitsEqual<Unit>(loadUnits(from), lessThan),
                                           unitsEqual<Unit>(loadUnits(from + 2), letterI));
        if (const int hits = _mm_movemask_epi8(both))
            return from + __builtin_ctz(unsigned(hits)) / int(sizeof(Unit));
    }
#endif
    for (; to - from >= 3; from = const_cast<Unit *>(findUnit<Unit>(from + 1, to - 2, '<'))) {
        from = const_cast<Unit *>(findUnit<Unit>(from, to - 2, '<'));
        if (from == to - 2 || from[2] == Unit('i'))
            return from;
    }
    return from;
}

} // namespace detail

struct TimeStampCount {
    qint64 seen = 0; // every "<time>"
    qint64 moved = 0;
};

// The most units correctTimeStamps leaves undecided at a block's end: a tag cut short, or a date
// text and the "T" after it, all but the last unit.
constexpr int maxUndecidedUnits = dateTextLength;

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
            }
            state.awaitingDate = false;
        }
        p = detail::findTagCandidate(p, end);
        const int matched = detail::matchTag(p, end);
        if (matched < detail::timeTagLength) {
            if (p + matched == end) // possibly the start of a tag, cut off by the block's end
                return atEnd ? end : p;
            ++p;
            continue;
        }
        ++count.seen;
        state.awaitingDate = true;
        p += detail::timeTagLength;
    }
}
