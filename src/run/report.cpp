#include "run/report.h"

#include "run/console.h"

#include <iterator>

namespace
{

// Every kind of report, in the order of ReportKind.
constexpr ReportForm forms[] = {
    {Channel::verbose, "{path} -> {copy}: {moved} of {seen} time stamps moved"},
    {Channel::output, "{path} -> {copy}: {moved} of {seen} time stamps would be moved"},
    {Channel::verbose, "{path}: left alone: no .gpx file"},
    {Channel::verbose, "{path}: removed: left by a run that did not finish"},
    {Channel::failure, "{path}: left alone until the card is checked (fsck): a power cut may "
                       "have left it on the clusters of {copy}"},
    {Channel::failure, "{path}: left alone until the card is checked (fsck): {reason}"},
    {Channel::failure, "{path}: cannot read the folder: {reason}"},
    {Channel::failure, "{path}: cannot create the folder: {reason} ({tracks} not corrected)"},
    {Channel::failure, "{path}: cannot create the folder: a file of that name is in the way "
                       "({tracks} not corrected)"},
    {Channel::failure,
     "{path}: refused: a link to a folder not named gpswrok ({tracks} not corrected)"},
    {Channel::failure, "{path}: cannot create the folder: a link of that name to a folder that is "
                       "not there is in the way ({tracks} not corrected)"},
    {Channel::verbose, "{path}: not corrected: no folder {copy} for its copy"},
    {Channel::failure, "{path}: {reason}"},
    {Channel::failure, "{path}: cannot read: {reason}"},
    {Channel::failure, "{path}: changed while it was copied"},
    {Channel::failure, "{path}: cannot write {copy}: {reason}"},
    {Channel::failure, "{path}: refused: the copy {copy} would replace the file itself"},
    {Channel::failure, "{path}: refused: {copy} is taken by the copy of {reason} in this run"},
    {Channel::failure, "{path}: {reason}: the card or disk is gone, so the run stops here"},
};
static_assert(std::size(forms) == std::size_t(ReportKind::deviceGone) + 1,
              "a form for every kind of report");

} // namespace

const ReportForm &formOf(ReportKind kind)
{
    return forms[std::size_t(kind)];
}

QString reportText(const Report &report)
{
    // Filled in one pass, so that a name holding "{reason}" stays as it is.
    const QString words = QLatin1String(formOf(report.kind).words);
    QString text;
    for (int i = 0; i < words.size();) {
        const int end = words.indexOf(QLatin1Char('}'), i);
        if (words[i] != QLatin1Char('{') || end < 0) {
            text += words[i++];
            continue;
        }
        const QString field = words.mid(i + 1, end - i - 1);
        text += field == QLatin1String("path")     ? shownName(report.path)
                : field == QLatin1String("copy")   ? shownName(report.copyPath)
                : field == QLatin1String("reason") ? report.reason
                : field == QLatin1String("moved")  ? QString::number(report.count.moved)
                : field == QLatin1String("seen")   ? QString::number(report.count.seen)
                : report.tracks == 1               ? QStringLiteral("1 track")
                                                   : QStringLiteral("%1 tracks").arg(report.tracks);
        i = end + 1;
    }
    return text;
}
