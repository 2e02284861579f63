// The line rule as a stream: text arrives in blocks cut anywhere, and on each line the date
// after the first "<time>" is moved when the rule says so. Everything else goes to the sink
// in unchanged spans, so a block costs little more than searching it for line ends.
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

// Seeks the first "<time>" of the line that `p` is in, up to the line's end. Returns where the
// date text begins, or nullptr when this line has no tag in [p, end); then `p` is moved past
// what was searched (past the '\n' when the line ended in this block).
template <typename Unit>
const Unit *seekTag(TimeLineCorrector<Unit> &c, const Unit *&p, const Unit *end)
{
    const Unit *lineEnd = findUnit(p, end, '\n');
    if (c.tagMatched > 0) { // a tag begun in the previous block
        const int matched = matchTag(p, lineEnd, c.tagMatched);
        const int taken = matched - c.tagMatched;
        if (matched == timeTagLength) {
            c.tagMatched = 0;
            return p + taken;
        }
        if (p + taken == end) { // still cut off: nothing more in this block
            c.tagMatched = matched;
            p = end;
            return nullptr;
        }
        c.tagMatched = 0; // a mismatch: the unit at p + taken may itself start a tag
        p += taken;
    }
    for (const Unit *q = findUnit(p, lineEnd, '<'); q != lineEnd;
         q = findUnit(q + 1, lineEnd, '<')) {
        const int matched = matchTag(q, lineEnd, 0);
        if (matched == timeTagLength)
            return q + timeTagLength;
        if (q + matched == end) {
            c.tagMatched = matched;
            p = end;
            return nullptr;
        }
    }
    p = lineEnd == end ? end : lineEnd + 1;
    return nullptr;
}

template <typename Unit, typename Sink>
void emitDate(TimeLineCorrector<Unit> &c, bool endedByT, Sink &sink)
{
    Unit moved[dateTextLength];
    if (endedByT && moveRolledOverDate(c.dateText, c.dateLength, c.lastDate, c.today, moved))
        sink.append(moved, dateTextLength);
    else if (c.dateLength > 0)
        sink.append(c.dateText, c.dateLength);
    c.dateLength = 0;
}

} // namespace detail

// Runs [p, end) through the rule, handing the result to sink.append(const Unit *, size_t).
template <typename Unit, typename Sink>
void correctTimeLines(TimeLineCorrector<Unit> &c, const Unit *p, const Unit *end, Sink &sink)
{
    using Phase = typename TimeLineCorrector<Unit>::Phase;
    const Unit *spanStart = p; // unchanged text not yet handed to the sink
    while (p != end) {
        switch (c.phase) {
        case Phase::seekTag:
            if (const Unit *dateStart = detail::seekTag(c, p, end)) {
                sink.append(spanStart, std::size_t(dateStart - spanStart));
                p = spanStart = dateStart;
                c.phase = Phase::readDate;
            }
            break;
        case Phase::readDate: {
            const Unit u = *p;
            if (u == Unit('T') || u == Unit('\n') || c.dateLength == dateTextLength) {
                detail::emitDate(c, u == Unit('T'), sink);
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
                p = lineEnd + 1;
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
    detail::emitDate(c, false, sink);
    c.phase = TimeLineCorrector<Unit>::Phase::seekTag;
    c.tagMatched = 0;
}
