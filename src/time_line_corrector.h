// The line rule as a stream: text arrives in blocks cut anywhere, and on each line the date
// after the first "<time>" is moved when the rule says so. Everything else goes to the sink
// in unchanged spans, so a block costs little more than searching it for tags.
//
// Lines matter only once a tag is found: the rest of that line is skipped, so the next tag
// found is always the first of its own line, and lines without a tag need no work at all.
//
// The only text ever held back is a date text still waiting for its "T": at most
// dateTextLength units, however long the line. A tag cut by a block boundary needs no text
// held, only how much of it has been matched, because the tag itself is never changed.
//
// Lines are separated by '\n'; carriage returns must already be gone (text mode drops them
// before the rule ever sees a line).
#pragma once

#include "rollover_date.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

template <typename Unit> struct TimeLineCorrector {
    enum class Phase { seekTag, readDate, skipLine };
    Phase phase = Phase::seekTag;
    int tagMatched = 0; // seekTag: units of "<time>" matched at the end of the last block
    Unit dateText[dateTextLength] = {};
    int dateLength = 0; // readDate: units of date text held so far
    LastDate<Unit> lastDate;
    LocalToday today;
};

namespace detail
{

constexpr char timeTag[] = "<time>";
constexpr int timeTagLength = 6;

template <typename Unit> const Unit *findUnit(const Unit *from, const Unit *to, char wanted)
{
    if constexpr (sizeof(Unit) == 1) {
        const void *hit = std::memchr(from, wanted, std::size_t(to - from));
        return hit ? static_cast<const Unit *>(hit) : to;
    } else {
        while (from != to && *from != Unit(wanted))
            ++from;
        return from;
    }
}

// How many units of the tag stand at `at`, having matched `matched` already; stops at `to`.
template <typename Unit> int matchTag(const Unit *at, const Unit *to, int matched)
{
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
template <typename Unit> const Unit *findTagCandidate(const Unit *from, const Unit *to)
{
#ifdef __SSE2__
    if constexpr (sizeof(Unit) == 1) {
        const __m128i lessThan = _mm_set1_epi8('<'), letterI = _mm_set1_epi8('i');
        for (; to - from >= 18; from += 16) {
            const __m128i at = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from));
            const __m128i ahead = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + 2));
            const int hits = _mm_movemask_epi8(
                _mm_and_si128(_mm_cmpeq_epi8(at, lessThan), _mm_cmpeq_epi8(ahead, letterI)));
            if (hits != 0)
                return from + __builtin_ctz(unsigned(hits));
        }
    }
#endif
    for (; to - from >= 3; from = findUnit(from + 1, to - 2, '<')) {
        from = findUnit(from, to - 2, '<');
        if (from == to - 2 || from[2] == Unit('i'))
            return from;
    }
    return from;
}

// Seeks the next "<time>" from `p` on. Returns where the date text after it begins, or nullptr
// when [p, end) holds no whole tag; then what may begin a tag at the end is kept in tagMatched.
template <typename Unit>
const Unit *seekTag(TimeLineCorrector<Unit> &c, const Unit *p, const Unit *end)
{
    if (c.tagMatched > 0) { // a tag begun in the previous block
        const int matched = matchTag(p, end, c.tagMatched);
        const int taken = matched - c.tagMatched;
        c.tagMatched = 0;
        if (matched == timeTagLength)
            return p + taken;
        if (p + taken == end) { // still cut off: nothing more in this block
            c.tagMatched = matched;
            return nullptr;
        }
        p += taken; // a mismatch: the unit at p may itself begin a tag
    }
    for (;;) {
        p = findTagCandidate(p, end);
        const int matched = matchTag(p, end, 0);
        if (matched == timeTagLength)
            return p + timeTagLength;
        if (p + matched == end) { // possibly the start of a tag, cut off by the block's end
            c.tagMatched = matched;
            return nullptr;
        }
        ++p;
    }
}

// Hands over the date text held back, moved when the rule says so, and lets it go.
template <typename Unit, typename Sink>
void emitDate(TimeLineCorrector<Unit> &c, bool endedByT, const QDate &today, Sink &sink)
{
    const Unit *moved =
        endedByT ? moveRolledOverDate(c.dateText, c.dateLength, c.lastDate, today) : nullptr;
    if (moved)
        sink.append(moved, dateTextLength);
    else if (c.dateLength > 0)
        sink.append(c.dateText, std::size_t(c.dateLength));
    c.dateLength = 0;
}

} // namespace detail

// Runs [p, end) through the rule, handing the result to sink.append(const Unit *, size_t).
// A moved date that lies wholly in the block is written over the old one in place (it has
// the same length), so a block usually reaches the sink as one span, with no copying.
// Every comparison in one call is against today's date as read at its start: one clock read
// for a block, not one for every line.
template <typename Unit, typename Sink>
void correctTimeLines(TimeLineCorrector<Unit> &c, Unit *p, Unit *end, Sink &sink)
{
    using Phase = typename TimeLineCorrector<Unit>::Phase;
    const QDate today = currentLocalDate(c.today);
    const Unit *spanStart = p; // text not yet handed to the sink
    while (p != end) {
        switch (c.phase) {
        case Phase::seekTag:
            if (const Unit *dateStart = detail::seekTag(c, p, end)) {
                p += dateStart - p;
                c.phase = Phase::readDate;
            } else {
                p = end;
            }
            break;
        case Phase::readDate: {
            // Most often the whole date text and its "T" are in this block: decide in place.
            if (c.dateLength == 0 && end - p > dateTextLength) {
                // A track repeats its day, and a text equal to the last date text holds no "T"
                // and no line end: then only the unit after it needs looking at.
                const bool asBefore =
                    c.lastDate.known && std::equal(p, p + dateTextLength, c.lastDate.text);
                int length = asBefore ? dateTextLength : 0;
                while (length < dateTextLength && p[length] != Unit('T') && p[length] != Unit('\n'))
                    ++length;
                if (p[length] == Unit('T')) {
                    if (const Unit *moved = moveRolledOverDate(p, length, c.lastDate, today))
                        std::copy(moved, moved + dateTextLength, p);
                    p += length;
                    c.phase = Phase::skipLine;
                    break;
                }
            }
            if (c.dateLength == 0) // the date text begins here and is held from now on
                sink.append(spanStart, std::size_t(p - spanStart));
            const Unit u = *p;
            if (u == Unit('T') || u == Unit('\n') || c.dateLength == dateTextLength) {
                detail::emitDate(c, u == Unit('T'), today, sink);
                spanStart = p; // the "T" or line end goes out unchanged with what follows
                c.phase = u == Unit('\n') ? Phase::seekTag : Phase::skipLine;
                if (u == Unit('\n'))
                    ++p;
            } else {
                c.dateText[c.dateLength++] = u;
                spanStart = ++p;
            }
            break;
        }
        case Phase::skipLine: {
            const Unit *lineEnd = detail::findUnit(p, end, '\n');
            if (lineEnd == end) {
                p = end;
            } else {
                p += lineEnd + 1 - p;
                c.phase = Phase::seekTag;
            }
            break;
        }
        }
    }
    sink.append(spanStart, std::size_t(end - spanStart));
}

// Ends the text: a date text still held (no "T" came) goes out as it was.
template <typename Unit, typename Sink> void finishTimeLines(TimeLineCorrector<Unit> &c, Sink &sink)
{
    detail::emitDate(c, false, QDate(), sink);
    c.phase = TimeLineCorrector<Unit>::Phase::seekTag;
    c.tagMatched = 0;
}
