#include "report_queue.h"

namespace
{

constexpr std::size_t batchCopies = 32;
constexpr qint64 batchBytes = 32 << 20;

} // namespace

bool isFailure(const Report &report)
{
    return report.kind != ReportKind::copied && report.kind != ReportKind::wouldCopy &&
           report.kind != ReportKind::leftAlone && report.kind != ReportKind::temporaryRemoved;
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
    std::vector<Copy> copies;
    for (ReportQueue::Entry &entry : entries)
        if (entry.copy)
            copies.push_back(std::move(entry.copy));
    const std::vector<QString> failures = commitCopies(copies, queue.giveUp);
    std::size_t copy = 0;
    for (ReportQueue::Entry &entry : entries) {
        if (entry.report.kind == ReportKind::copied) {
            if (copy == failures.size())
                return; // given up: nothing of these copies is left, and nothing more is told
            if (!failures[copy].isEmpty()) {
                entry.report.kind = ReportKind::copyNotWritten;
                entry.report.reason = failures[copy];
            }
            ++copy;
        }
        queue.tell(entry.report);
    }
}
