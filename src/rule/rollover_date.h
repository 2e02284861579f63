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

// A fixed-width field of ASCII digits, or -1 when any unit is something else: no sign, no
// space, no digit of another script.
template <typename Unit> int parseDigits(const Unit *text, int width)
{
    int value = 0;
    for (int i = 0; i < width; ++i) {
        const auto u = text[i];
        if (u < Unit('0') || u > Unit('9'))
            return -1;
        value = value * 10 + int(u - Unit('0'));
    }
    return value;
}

} // namespace detail

// Reads a date text: exactly four ASCII digits, '-', two, '-', two, naming a real date. Returns
// an invalid date for anything else, so that text which is no date passes through as it is.
// Qt's own reading takes signs and shorter fields ("+999-01-01", "2004-+1-+1"), and moving
// those would change text the tool does not correct. Far cheaper too: the library's parser
// consults the time zone.
template <typename Unit> QDate parseRolloverDate(const Unit *text, int length)
{
    if (length != dateTextLength || text[4] != Unit('-') || text[7] != Unit('-'))
        return QDate();
    const int year = detail::parseDigits(text, 4);
    const int month = detail::parseDigits(text + 5, 2);
    const int day = detail::parseDigits(text + 8, 2);
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

// Today, as the rule reads it: the latest calendar date on Earth at this moment, the date at
// UTC+14. A time stamp carries its own zone (Z, an offset, or none at all), and one recorded a
// minute ago east of UTC may already lie on a date that neither the local nor the UTC calendar
// has reached; no zone runs ahead of UTC+14, so whatever was recorded before now is moved. Kept
// until that date turns (or the clock is set back), so that the clock is read, not the zone.
struct Today {
    QDate date;
    qint64 validFromMs = 0;
    qint64 validUntilMs = 0; // empty range: nothing read yet
};

// The latest calendar date on Earth at that moment: the date at UTC+14.
QDate latestDateAt(qint64 msSinceEpoch);

// Today's date, read from the clock only when `today` holds no longer.
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
