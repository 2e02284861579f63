// The rule, read as a person reads it: a name is a run of XML name characters (ASCII letters,
// digits, '_', '-', '.', and every byte above 0x7F taken for a letter) that does not begin with a
// digit, '-' or '.', with at most one ':' between a prefix and a local name of at most 100
// characters each. The clock's names: a local name "time", or one that ends in a lower-case
// ASCII letter and "Time". A value is read
// - after "<NAME>", NAME such a name: the element's text;
// - after the quote of an attribute NAME = "..." or '...' inside a start tag: '<', the element's
//   name (colons allowed), then attributes each after whitespace, spaces around '=' allowed. A '<'
//   ends any tag and may begin the next, wherever it stands.
// The value's date text follows any whitespace and runs to the next character: exactly
// yyyy-MM-dd in ASCII digits, naming a real date, and a 'T' after it; moved by 7168 days when that
// is not after today.
#include "rule_oracle.h"

#include <QRegularExpression>
#include <QString>
#include <QVector>

namespace
{

bool isSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
           c == QLatin1Char('\r');
}

bool isNameChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('-') ||
           c == QLatin1Char('.') || c.unicode() >= 0x80;
}

bool startsName(QChar c)
{
    return isNameChar(c) && !(c >= QLatin1Char('0') && c <= QLatin1Char('9')) &&
           c != QLatin1Char('-') && c != QLatin1Char('.');
}

// Whether a whole name, prefix and all, is one of the clock's.
bool isClockName(const QString &name)
{
    static const QRegularExpression clock(QStringLiteral(
        "^(?:[A-Za-z_\\x{80}-\\x{ff}][-.A-Za-z0-9_\\x{80}-\\x{ff}]{0,99}:)?"
        "(?:time|(?=[A-Za-z_\\x{80}-\\x{ff}])[-.A-Za-z0-9_\\x{80}-\\x{ff}]{0,95}[a-z]Time)$"));
    return clock.match(name).hasMatch();
}

// The name that begins at `i`, colons and all: where it ends.
int nameEnd(const QString &text, int i)
{
    while (i < text.size() && (isNameChar(text[i]) || text[i] == QLatin1Char(':')))
        ++i;
    return i;
}

int spacesEnd(const QString &text, int i)
{
    while (i < text.size() && isSpace(text[i]))
        ++i;
    return i;
}

// Where each value the rule reads begins, in the tag that the '<' at `lt` opens.
void valuesOfTag(const QString &text, int lt, QVector<int> &values)
{
    int i = lt + 1;
    if (i >= text.size() || !startsName(text[i]))
        return;
    const int elementEnd = nameEnd(text, i);
    if (elementEnd < text.size() && text[elementEnd] == QLatin1Char('>') &&
        isClockName(text.mid(i, elementEnd - i)))
        values.append(elementEnd + 1);
    i = elementEnd;
    for (;;) {
        const int attribute = spacesEnd(text, i);
        if (attribute == i || attribute >= text.size() || !startsName(text[attribute]))
            return;
        const int attributeEnd = nameEnd(text, attribute);
        i = spacesEnd(text, attributeEnd);
        if (i >= text.size() || text[i] != QLatin1Char('='))
            return;
        i = spacesEnd(text, i + 1);
        if (i >= text.size() || (text[i] != QLatin1Char('"') && text[i] != QLatin1Char('\'')))
            return;
        const QChar quote = text[i];
        if (isClockName(text.mid(attribute, attributeEnd - attribute)))
            values.append(i + 1);
        for (++i; i < text.size() && text[i] != quote; ++i)
            if (text[i] == QLatin1Char('<'))
                return;
        if (i >= text.size())
            return;
        ++i;
    }
}

int digits(const QString &text, int at, int count)
{
    int value = 0;
    for (int i = at; i < at + count; ++i) {
        if (text[i] < QLatin1Char('0') || text[i] > QLatin1Char('9'))
            return -1;
        value = value * 10 + (text[i].unicode() - '0');
    }
    return value;
}

} // namespace

RuleReading byTheRule(const QByteArray &bytes, const QDate &today)
{
    QString text = QString::fromLatin1(bytes.constData(), bytes.size());
    QVector<int> values;
    for (int lt = text.indexOf(QLatin1Char('<')); lt >= 0;
         lt = text.indexOf(QLatin1Char('<'), lt + 1))
        valuesOfTag(text, lt, values);
    RuleReading reading;
    reading.seen = values.size();
    for (const int value : values) {
        const int p = spacesEnd(text, value);
        if (p + 10 >= text.size() || text[p + 10] != QLatin1Char('T') ||
            text[p + 4] != QLatin1Char('-') || text[p + 7] != QLatin1Char('-'))
            continue;
        const int year = digits(text, p, 4), month = digits(text, p + 5, 2),
                  day = digits(text, p + 8, 2);
        if (year < 0 || month < 0 || day < 0 || !QDate::isValid(year, month, day) || year == 0)
            continue;
        const QDate moved = QDate(year, month, day).addDays(7168);
        if (moved > today)
            continue;
        text.replace(p, 10,
                     QString::asprintf("%04d-%02d-%02d", moved.year(), moved.month(), moved.day()));
        ++reading.moved;
    }
    reading.text = text.toLatin1().replace("\r\n", "\n").replace('\r', '\n');
    if (!reading.text.isEmpty() && !reading.text.endsWith('\n'))
        reading.text += '\n';
    return reading;
}
