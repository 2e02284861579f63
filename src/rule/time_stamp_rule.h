// The rule on a stream of text: every value the receiver's clock wrote is found by its name, and
// its date text, running to the next capital "T", is moved when the rule says so; everything else
// is left as it is. A name is read when its local part is "time", or longer and ends in "Time"
// after a lower-case ASCII letter ("startTime", "CreationTime"), bare or after a namespace
// prefix, each at most 100 units. Two places hold such a value:
// - an element's text: the name in a tag of its own, "<time>", "<gpxdata:startTime>", and
//   whatever whitespace follows (spaces, tabs, line ends of any style, as an XML reader passes
//   them over);
// - an attribute's value: the name inside a start tag, "<st:heartRate time='...'", with
//   whitespace around its '=' and after its quote as XML allows.
// Everything else stays: "<time zone='x'>", "<Time>", "<timestamp>", an end tag, a name in a
// person's text ("<desc>time=...") and a value that is no date ("<gpxdata:elapsedTime>1234.5").
// A receiver may write a whole track on one line, so every value counts, not just a line's first.
//
// A date that moves is exactly dateTextLength units of digits and dashes followed by its "T",
// so it holds no '<' and no line end: it is decided from the eleven units after its whitespace,
// and can neither hide a name nor be cut by one. A text that is no date holds nothing back
// either: the search for the next name goes on right after the whitespace, so
// "<time>x<time>1999-..." still finds the second one. A line end inside a name or a date text
// makes it no name or no date, whatever the file's line ends are: the rule sees the text with
// its carriage returns still in it.
//
// Whether a name stands inside a start tag is read from the text before it, back to the last
// '<' (which no attribute value and no element text holds in XML), and only where a name asks:
// a track holds a few such names at most, and a track's thousands of points cost nothing more.
//
// A block of text is handed over whole; what the rule cannot decide yet at its end (a name cut by
// the block's end, with the unit before it: at most maxUndecidedUnits units) is left for the
// caller to hand over again, in front of the next block. Whitespace is never held back, however
// long it runs: what the rule awaits next (an '=', a quote, a date) and where the text stands in
// its markup are all it carries from one block to the next.
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

// A namespace prefix and a local name are read up to this many units each: a name is found from
// its end, and one that a block's end cuts short is carried whole into the next block, so its
// length is bounded. Real ones ("gpxdata", "CreationTime") are a few letters.
constexpr int maxPrefixUnits = 100;
constexpr int maxLocalNameUnits = 100;
// The longest name the rule reads, with the '<' or the whitespace before it.
constexpr int maxNameUnits = 1 + maxPrefixUnits + 1 + maxLocalNameUnits;

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
// Where, among the sixteen units at `at`, a "time" or "Time" begins that no '/' stands before
// (an end tag's "</time>" is half of a track's names). 'T' and 't' differ in 0x20 alone.
template <typename Unit> __m128i namesAt(const Unit *at)
{
    const __m128i t =
        unitsEqual<Unit>(_mm_or_si128(loadUnits(at), everyUnit<Unit>(0x20)), everyUnit<Unit>('t'));
    const __m128i im = _mm_and_si128(unitsEqual<Unit>(loadUnits(at + 1), everyUnit<Unit>('i')),
                                     unitsEqual<Unit>(loadUnits(at + 2), everyUnit<Unit>('m')));
    const __m128i e = unitsEqual<Unit>(loadUnits(at + 3), everyUnit<Unit>('e'));
    const __m128i slash = unitsEqual<Unit>(loadUnits(at - 1), everyUnit<Unit>('/'));
    return _mm_andnot_si128(slash, _mm_and_si128(_mm_and_si128(t, im), e));
}
#endif

template <typename Unit> bool mayBeName(const Unit *at)
{
    return (at[0] == Unit('t') || at[0] == Unit('T')) && at[1] == Unit('i') && at[2] == Unit('m') &&
           at[3] == Unit('e') && at[-1] != Unit('/');
}

// The first place in [from, to) where a name the rule reads may end in "time" or "Time", with a
// unit before it from `begin` on: in GPX few places but the time stamps' own tags do, so checking
// them one by one is cheap. Sixteen units are tested at a time where the processor has SSE2.
// Returns `to` when there is none among those whose "ime" [from, to) holds whole.
template <typename Unit> Unit *findName(Unit *from, Unit *to, const Unit *begin)
{
    if (from == begin && from != to)
        ++from;
#ifdef __SSE2__
    constexpr int lanes = bytesPerVector / int(sizeof(Unit));
    for (; to - from >= lanes + 3; from += lanes) {
        const int hits = _mm_movemask_epi8(namesAt(from));
        if (hits != 0)
            return from + __builtin_ctz(unsigned(hits)) / int(sizeof(Unit));
    }
#endif
    for (; to - from >= 4; ++from)
        if (mayBeName(from))
            return from;
    return to;
}

// What an XML name may hold, every unit outside ASCII taken for a letter; a prefix or a local
// name holds no ':'.
template <typename Unit> bool isNameStart(Unit u)
{
    return (u >= Unit('a') && u <= Unit('z')) || (u >= Unit('A') && u <= Unit('Z')) ||
           u == Unit('_') || u >= Unit(0x80);
}

template <typename Unit> bool isNameUnit(Unit u)
{
    return isNameStart(u) || (u >= Unit('0') && u <= Unit('9')) || u == Unit('-') || u == Unit('.');
}

template <typename Unit> bool isWhitespace(Unit u)
{
    return u == Unit(' ') || u == Unit('\t') || u == Unit('\n') || u == Unit('\r');
}

// Where the XML name of at most `most` units that ends just before `end` begins, or nullptr when
// there is none: no name unit there, a first unit that cannot begin a name, a longer run, or one
// that reaches `begin`, before which nothing is in hand to tell what precedes it.
template <typename Unit> const Unit *nameBefore(const Unit *begin, const Unit *end, int most)
{
    const Unit *const stop = end - std::min<std::ptrdiff_t>(end - begin, most);
    const Unit *name = end;
    while (name != stop && isNameUnit(name[-1]))
        --name;
    if (name == end || name == begin || isNameUnit(name[-1]) || !isNameStart(*name))
        return nullptr;
    return name;
}

enum class NameReading { none, element, attribute, cut };

// What the "time" or "Time" that findName found at `at` ends: the name of an element's own tag
// ("<P:startTime>"), an attribute's name if it stands in a start tag (whitespace before it,
// whitespace or '=' after it; `name` learns where it begins, for the caller to ask), or none;
// cut when `end` comes before the unit after it.
template <typename Unit>
NameReading readName(const Unit *begin, const Unit *at, const Unit *end, const Unit *&name)
{
    const Unit *local = at;
    if (*at == Unit('T')) {
        if (!(at[-1] >= Unit('a') && at[-1] <= Unit('z')))
            return NameReading::none;
        local = nameBefore(begin, at, maxLocalNameUnits - 4);
        if (!local)
            return NameReading::none;
    }
    name = local;
    if (local[-1] == Unit(':')) {
        name = nameBefore(begin, local - 1, maxPrefixUnits);
        if (!name)
            return NameReading::none;
    }
    const Unit before = name[-1];
    const Unit *const after = at + 4;
    if (before != Unit('<') && !isWhitespace(before))
        return NameReading::none;
    if (after == end)
        return NameReading::cut;
    if (before == Unit('<'))
        return *after == Unit('>') ? NameReading::element : NameReading::none;
    return isWhitespace(*after) || *after == Unit('=') ? NameReading::attribute : NameReading::none;
}

// Where a name that the end of [begin, end) may cut short begins: the '<' or the whitespace
// before a run of name units and colons that reaches `end`, among its last maxNameUnits units.
// `end` when there is none.
template <typename Unit> Unit *nameAtEnd(Unit *begin, Unit *end)
{
    Unit *const stop = end - std::min<std::ptrdiff_t>(end - begin, maxNameUnits);
    Unit *p = end;
    while (p != stop && (isNameUnit(p[-1]) || p[-1] == Unit(':')))
        --p;
    return p != stop && (p[-1] == Unit('<') || isWhitespace(p[-1])) ? p - 1 : end;
}

// Where the text stands in its markup, as far as an attribute's name needs: inside a start tag,
// between its attributes, or elsewhere. '<' opens a tag wherever it stands, as no attribute
// value and no element text holds one in XML.
enum class Markup : unsigned char {
    elsewhere,
    opened,        // "<"
    elementName,   // "<a"
    spaces,        // "<a ", "<a b='c' ": where an attribute's name may begin
    attributeName, // "<a b"
    beforeEquals,  // "<a b "
    afterEquals,   // "<a b="
    doubleQuoted,  // "<a b=\""
    singleQuoted,  // "<a b='"
    afterValue,    // "<a b='c'"
};

template <typename Unit> Markup nextMarkup(Markup m, Unit u)
{
    if (u == Unit('<'))
        return Markup::opened;
    switch (m) {
    case Markup::elsewhere:
        return m;
    case Markup::opened:
        return isNameStart(u) ? Markup::elementName : Markup::elsewhere;
    case Markup::elementName:
    case Markup::attributeName:
        if (isNameUnit(u) || u == Unit(':'))
            return m;
        if (isWhitespace(u))
            return m == Markup::elementName ? Markup::spaces : Markup::beforeEquals;
        return m == Markup::attributeName && u == Unit('=') ? Markup::afterEquals
                                                            : Markup::elsewhere;
    case Markup::spaces:
        return isWhitespace(u) ? m : isNameStart(u) ? Markup::attributeName : Markup::elsewhere;
    case Markup::beforeEquals:
        return isWhitespace(u) ? m : u == Unit('=') ? Markup::afterEquals : Markup::elsewhere;
    case Markup::afterEquals:
        return isWhitespace(u)   ? m
               : u == Unit('"')  ? Markup::doubleQuoted
               : u == Unit('\'') ? Markup::singleQuoted
                                 : Markup::elsewhere;
    case Markup::doubleQuoted:
        return u == Unit('"') ? Markup::afterValue : m;
    case Markup::singleQuoted:
        return u == Unit('\'') ? Markup::afterValue : m;
    case Markup::afterValue:
        return isWhitespace(u) ? Markup::spaces : Markup::elsewhere;
    }
    return Markup::elsewhere;
}

// The markup at places asked for in turn, each no earlier than the last: read from the last '<'
// before the place, or from the last place when none lies between, so that a text is read once
// however many names ask.
template <typename Unit> struct MarkupReader {
    const Unit *at;
    Markup markup;

    Markup before(const Unit *place)
    {
        const Unit *from = place;
        while (from != at && from[-1] != Unit('<'))
            --from;
        Markup m = markup;
        if (from != at)
            m = Markup::opened;
        else if (m == Markup::elsewhere)
            from = place; // nothing but a '<' changes it, and none lies between
        for (; from != place; ++from)
            m = nextMarkup(m, *from);
        at = place;
        markup = m;
        return m;
    }
};

} // namespace detail

struct TimeStampCount {
    qint64 seen = 0; // every element and attribute whose value the rule reads
    qint64 moved = 0;
};

// The most units correctTimeStamps leaves undecided at a block's end: a name cut short with the
// unit before it, or a date text and the "T" after it, all but the last unit.
constexpr int maxUndecidedUnits = std::max(detail::maxNameUnits, dateTextLength);

// What the rule awaits next, past any whitespace.
enum class Awaiting : unsigned char {
    name,   // the next name it reads
    equals, // an attribute's '=': its name has been read
    quote,  // the quote that opens its value
    date,   // a value's date text: its element's tag or its attribute's quote has been read
};

// What the rule carries from one block to the next, but the text it hands back.
template <typename Unit> struct RuleState {
    Awaiting awaiting = Awaiting::name;
    detail::Markup markup = detail::Markup::elsewhere; // where the text handed back stands
    LastDate<Unit> last;                               // the last date text's reading
};

// Runs [p, end) through the rule, writing each moved date over the old one in place (it has
// the same length). Returns where the text that cannot be decided before more of it comes
// begins; everything before that is final. With `atEnd` (no more text follows) that is `end`.
// `count` adds up the values read and those moved.
template <typename Unit>
Unit *correctTimeStamps(Unit *p, Unit *end, bool atEnd, const QDate &today, RuleState<Unit> &state,
                        TimeStampCount &count)
{
    Unit *const begin = p;
    detail::MarkupReader<Unit> markup{begin, state.markup};
    const auto handBack = [&](Unit *decided) {
        state.markup = markup.before(decided);
        return decided;
    };
    for (;;) {
        if (state.awaiting != Awaiting::name) {
            while (p != end && detail::isWhitespace(*p))
                ++p;
            if (p == end && !atEnd)
                return handBack(end);
            const Awaiting awaited = state.awaiting;
            state.awaiting = Awaiting::name;
            if (awaited == Awaiting::equals) {
                if (p != end && *p == Unit('=')) {
                    ++p;
                    state.awaiting = Awaiting::quote;
                }
                continue;
            }
            if (awaited == Awaiting::quote) {
                if (p != end && (*p == Unit('"') || *p == Unit('\''))) {
                    ++p;
                    ++count.seen;
                    state.awaiting = Awaiting::date;
                }
                continue;
            }
            if (end - p <= dateTextLength) { // too short for a date and its "T" so far
                if (!atEnd) {
                    state.awaiting = Awaiting::date;
                    return handBack(p);
                }
            } else if (p[dateTextLength] == Unit('T')) {
                if (const Unit *moved = moveRolledOverDate(p, dateTextLength, state.last, today)) {
                    std::copy(moved, moved + dateTextLength, p);
                    ++count.moved;
                }
                // A date and its "T" hold no name: the search goes on after them.
                if (state.last.shifted.isValid())
                    p += dateTextLength + 1;
            }
        }
        Unit *const at = detail::findName(p, end, begin);
        if (at == end)
            return handBack(atEnd ? end : detail::nameAtEnd(begin, end));
        // Most names found are a bare "<time>": read here, the others by readName.
        const Unit *name = at;
        const detail::NameReading reading =
            end - at >= 5 && at[-1] == Unit('<') && at[0] == Unit('t') && at[4] == Unit('>')
                ? detail::NameReading::element
                : detail::readName<Unit>(begin, at, end, name);
        switch (reading) {
        case detail::NameReading::cut:
            return handBack(atEnd ? end : detail::nameAtEnd(begin, end));
        case detail::NameReading::none:
            p = at + 1;
            break;
        case detail::NameReading::element:
            p = at + 5;
            ++count.seen;
            state.awaiting = Awaiting::date;
            break;
        case detail::NameReading::attribute:
            p = at + 4;
            if (markup.before(name) == detail::Markup::spaces)
                state.awaiting = Awaiting::equals;
            break;
        }
    }
}
