#include "run/batch.h"

namespace
{

constexpr std::size_t batchCopies = 32;
constexpr qint64 batchBytes = 32 << 20;

} // namespace

void postReport(Batch &batch, Report report)
{
    if (report.kind == ReportKind::deviceGone) {
        if (batch.deviceGone)
            return;
        batch.deviceGone = true;
    }
    if (batch.copies == 0)
        batch.tell(report);
    else
        batch.entries.push_back({std::move(report), nullptr});
}

void postCopy(Batch &batch, Report report, Copy copy, qint64 bytes)
{
    batch.entries.push_back({std::move(report), std::move(copy)});
    ++batch.copies;
    batch.bytes += bytes;
    if (batch.copies >= batchCopies || batch.bytes >= batchBytes)
        commitBatch(batch);
}

void commitBatch(Batch &batch)
{
    std::vector<Batch::Entry> entries;
    entries.swap(batch.entries);
    batch.copies = 0;
    batch.bytes = 0;
    // Each copy's outcome goes back to the entry that held it.
    std::vector<Copy> copies;
    std::vector<Batch::Entry *> owners;
    for (Batch::Entry &entry : entries) {
        if (entry.copy) {
            copies.push_back(std::move(entry.copy));
            owners.push_back(&entry);
        }
    }
    const std::vector<SystemFailure> failures = commitCopies(copies, batch.giveUp);
    for (std::size_t i = 0; i < failures.size(); ++i) {
        if (failures[i].error == 0)
            continue;
        Batch::Entry &entry = *owners[i];
        entry.report.kind = ReportKind::copyNotWritten;
        entry.report.reason = failures[i].reason;
        // The copies of a pulled card all fail alike: said once.
        if (isDeviceGone(failures[i].error)) {
            entry.said = batch.deviceGone;
            entry.report.kind = ReportKind::deviceGone;
            batch.deviceGone = true;
        }
    }
    // Given up: nothing of the copies after the last one named is left, nor told.
    Batch::Entry *const firstDropped =
        failures.size() < owners.size() ? owners[failures.size()] : nullptr;
    for (Batch::Entry &entry : entries) {
        if (&entry == firstDropped)
            return;
        if (!entry.said)
            batch.tell(entry.report);
    }
}
