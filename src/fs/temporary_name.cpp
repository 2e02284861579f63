#include "fs/file_system.h"

#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>

namespace
{

constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr int randomLength = 6;
constexpr int prefixLength = int(sizeof temporaryPrefix) - 1;

} // namespace

QByteArray newTemporaryName()
{
    QByteArray temporary(temporaryPrefix);
    for (int i = 0; i < randomLength; ++i)
        temporary += letters[QRandomGenerator::global()->bounded(int(sizeof letters) - 1)];
    return temporary;
}

bool isShortNameOfTemporary(const QByteArray &name)
{
    // vfat and Windows make GPX-RO~1 to ~9 of .gpx-rollover-XXXXXX, then GP, four hexadecimal
    // digits, ~ and a digit.
    static const QRegularExpression shortName(QStringLiteral("^(GPX-RO|GP[0-9A-F]{4})~[1-9]$"),
                                              QRegularExpression::CaseInsensitiveOption);
    return shortName.match(QLatin1String(name)).hasMatch();
}

bool isTemporaryName(const QByteArray &name)
{
    return name.size() == prefixLength + randomLength && name.startsWith(temporaryPrefix) &&
           std::all_of(name.begin() + prefixLength, name.end(), [](char c) {
               return std::find(std::begin(letters), std::end(letters) - 1, c) !=
                      std::end(letters) - 1;
           });
}
