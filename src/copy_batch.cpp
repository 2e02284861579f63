#include "copy_batch.h"

namespace
{

constexpr std::size_t batchCopies = 32;
constexpr qint64 batchBytes = 32 << 20;

} // namespace

void addToBatch(CopyBatch &batch, FinishedCopy copy, qint64 bytes, const CopyOutcome &outcome)
{
    batch.copies.push_back(std::move(copy));
    batch.bytes += bytes;
    if (batch.copies.size() >= batchCopies || batch.bytes >= batchBytes)
        flushBatch(batch, outcome);
}

void flushBatch(CopyBatch &batch, const CopyOutcome &outcome)
{
    if (batch.copies.empty())
        return;
    std::vector<Copy> files;
    for (FinishedCopy &copy : batch.copies)
        files.push_back(std::move(copy.file));
    const std::vector<QString> failures = commitCopies(files);
    std::vector<FinishedCopy> copies;
    copies.swap(batch.copies);
    batch.bytes = 0;
    for (std::size_t i = 0; i < copies.size(); ++i)
        outcome(copies[i], failures[i]);
}
