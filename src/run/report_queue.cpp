#include "run/report_queue.h"

#include "run/console.h"

#include <iterator>

namespace
{

constexpr std::size_t batchCopies = 32;
constexpr qint64 batchBytes = 32 << 20;

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
    {Channel::failure, "{path}: cannot create the folder: {reason}"},
    {Channel::failure, "{path}: cannot create the folder: a file of that name is in the way"},
    {Channel::failure, "{path}: refused: a link to a folder not named gpswrok"},
    {Channel::failure, "{path}: {reason}"},
    {Channel::failure, "{path}: cannot read: {reason}"},
    {Channel::failure, "{path}: changed while it was copied"},
    {Channel::failure, "{path}: cannot write {copy}: {reason}"},
    {Channel::failure, "{path}: refused: the copy {copy} would replace the file itself"},
};
static_assert(std::size(forms) == std::size_t(ReportKind::copyRefused) + 1,
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
                                                   : QString::number(report.count.seen);
        i = end + 1;
    }
    return text;
}

void postReport(ReportQueue &queue, Report report)
{
    if (queue.copies == 0)
        queue.tell(report);
    else
        queue.entries.push_back({std::move(report), nullptr});
}

void postCopy(ReportQueue &queue, Report report, Copy copy, qint64 bytes)
{
    queue.entries.push_back({std::move(report), std::move(copy)});
    ++queue.copies;
    queue.bytes += bytes;
    if (queue.copies >= batchCopies || queue.bytes >= batchBytes)
        flushReports(queue);
}

void flushReports(ReportQueue &queue)
{
    std::vector<ReportQueue::Entry> entries;
    entries.swap(queue.entries);
    queue.copies = 0;
    queue.bytes = 0;
    // Each copy's outcome goes back to the entry that held it.
    std::vector<Copy> copies;
    std::vector<Report *> owners;
    for (ReportQueue::Entry &entry : entries) {
        if (entry.copy) {
            copies.push_back(std::move(entry.copy));
            owners.push_back(&entry.report);
        }
    }
    const std::vector<QString> failures = commitCopies(copies, queue.giveUp);
    for (std::size_t i = 0; i < failures.size(); ++i) {
        if (!failures[i].isEmpty()) {
            owners[i]->kind = ReportKind::copyNotWritten;
            owners[i]->reason = failures[i];
        }
    }
    // Given up: nothing of the copies after the last one named is left, nor told.
    Report *const firstDropped =
        failures.size() < owners.size() ? owners[failures.size()] : nullptr;
    for (ReportQueue::Entry &entry : entries) {
        if (&entry.report == firstDropped)
            return;
        queue.tell(entry.report);
    }
}
