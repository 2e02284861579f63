// The date half of the correction: reading a "yyyy-MM-dd" text, deciding whether it moves,
// and printing the moved date. Templated on the code unit so that bytes, UTF-16 and UTF-32
// units are all read in place, without decoding a file.
#pragma once

#include <QDate>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>

// 1024 weeks: how far a receiver with a 10-bit week counter lags behind after rolling over.
constexpr qint64 rolloverDays = 7168;

// A date text is exactly this long; anything longer between the tag and its "T" is no date.
constexpr int dateTextLength = 10;

namespace detail
{

// One numeric field as Qt 5's QDate::fromString reads it for a fixed width: all ASCII digits,
// or a '+' followed by at least one digit. Returns -1 for anything else.
template <typename Unit> int parseDateField(const Unit *text, int width)
{
    int i = 0;
    if (text[0] == Unit('+'))
        i = 1;
    if (i == width)
        return -1;
    int value = 0;
    for (; i < width; ++i) {
        const auto u = text[i];
        if (u < Unit('0') || u > Unit('9'))
            return -1;
        value = value * 10 + int(u - Unit('0'));
    }
    return value;
}

} // namespace detail

// Reads a date text the way QDate::fromString(text, "yyyy-MM-dd") does under Qt 5, which is
// the definition; Qt 6 reads signed years differently, and the tool must not change with the
// library it is built against. Far cheaper: the library's parser consults the time zone.
// Returns an invalid date when the text is no date.
template <typename Unit> QDate parseRolloverDate(const Unit *text, int length)
{
    if (length != dateTextLength || text[4] != Unit('-') || text[7] != Unit('-'))
        return QDate();
    const int year = detail::parseDateField(text, 4);
    const int month = detail::parseDateField(text + 5, 2);
    const int day = detail::parseDateField(text + 8, 2);
    if (year < 0 || month < 0 || day < 0)
        return QDate();
    return QDate(year, month, day); // invalid for year 0, month 13, 30 February...
}

// Prints a date of the years 1 to 9999 as "yyyy-MM-dd", the same text as QDate::toString with
// that format, into exactly dateTextLength units.
template <typename Unit> void formatRolloverDate(const QDate &date, Unit *out)
{
    int y = 0, m = 0, d = 0;
    date.getDate(&y, &m, &d);
    const int digits[] = {y / 1000 % 10, y / 100 % 10, y / 10 % 10, y % 10, -1,
                          m / 10,        m % 10,       -1,          d / 10, d % 10};
    for (int i = 0; i < dateTextLength; ++i)
        out[i] = digits[i] < 0 ? Unit('-') : Unit('0' + digits[i]);
}

// Today, as the rule reads it: the later of the local date and the UTC date. GPX time stamps
// are written in UTC, so west of UTC the UTC date turns in the afternoon, and a track recorded
// that evening lies on a date the local calendar has not reached yet; east of UTC the local date
// is already the later one. Read again only once the next midnight of either has passed (or the
// clock was set back): reading it means consulting the time zone, far too slow to do for every
// time stamp of a large track.
struct Today {
    QDate date;
    qint64 validFromMs = 0;
    qint64 validUntilMs = 0; // empty range: nothing read yet
};

QDate currentToday(Today &today);

// The last date text seen, what it moves to and how that is printed: a track repeats the same
// day for thousands of points. `shifted` is invalid when the text is no date or the moved date
// could not be printed in four year digits (only a clock set absurdly far ahead reaches those).
template <typename Unit> struct LastDate {
    Unit text[dateTextLength] = {};
    bool known = false;
    QDate shifted;
    Unit shiftedText[dateTextLength] = {};
};

// The rule's decision for one date text: when the text is a date that, moved forward by
// rolloverDays, is not later than `today`, returns the moved date's text (dateTextLength units,
// held in `last`); else nullptr.
template <typename Unit>
const Unit *moveRolledOverDate(const Unit *text, int length, LastDate<Unit> &last,
                               const QDate &today)
{
    if (length != dateTextLength)
        return nullptr;
    if (!last.known || !std::equal(text, text + dateTextLength, last.text)) {
        std::copy(text, text + dateTextLength, last.text);
        last.known = true;
        last.shifted = parseRolloverDate(text, length).addDays(rolloverDays);
        if (last.shifted.isValid() && last.shifted.year() <= 9999)
            formatRolloverDate(last.shifted, last.shiftedText);
        else
            last.shifted = QDate();
    }
    if (!last.shifted.isValid() || last.shifted > today)
        return nullptr;
    return last.shiftedText;
}
