#include "stream/read_ahead.h"

#ifdef Q_OS_UNIX
#include <csignal>
#include <pthread.h>
#endif

namespace
{

// Two blocks read ahead while a third is corrected: the reader never waits for a buffer as
// long as the main thread keeps pace, and a run holds three blocks at most.
constexpr int bufferCount = 3;

} // namespace

ReadAhead::ReadAhead(qint64 blockSize) : blockSize_(blockSize) {}

ReadAhead::~ReadAhead()
{
    if (!thread_.joinable())
        return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ReadAhead::start(QIODevice &in, qint64 size)
{
    if (!thread_.joinable()) {
        for (int i = 0; i < bufferCount; ++i) {
            storage_.emplace_back(std::size_t(blockSize_));
            free_.push_back(storage_.back().block());
        }
        thread_ = std::thread(&ReadAhead::readBlocks, this);
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        in_ = &in;
        left_ = size;
    }
    changed_.notify_all();
}

ReadBlock ReadAhead::take()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (taken_)
        free_.push_back(taken_);
    taken_ = nullptr;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !filled_.empty(); });
    ReadBlock block = filled_.front();
    filled_.pop_front();
    taken_ = block.data;
    return block;
}

void ReadAhead::stop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    in_ = nullptr;
    changed_.wait(lock, [this] { return !reading_; });
    for (const ReadBlock &block : filled_)
        free_.push_back(block.data);
    filled_.clear();
    if (taken_)
        free_.push_back(taken_);
    taken_ = nullptr;
}

void ReadAhead::readBlocks()
{
#ifdef Q_OS_UNIX
    // Signals are the main thread's: it is the one that looks for an interruption.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
#endif
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return quit_ || (in_ && !free_.empty()); });
        if (quit_)
            return;
        QIODevice &in = *in_;
        ReadBlock block;
        block.data = free_.back();
        free_.pop_back();
        const qint64 wanted = std::min(blockSize_, left_);
        reading_ = true;
        lock.unlock();
        // A block is read whole: a read may bring less in the middle of a file.
        while (block.size < wanted) {
            const qint64 n = in.read(block.data + block.size, wanted - block.size);
            if (n <= 0) {
                block.failed = n < 0;
                block.atEnd = true;
                if (block.failed)
                    block.reason = in.errorString();
                break;
            }
            block.size += n;
        }
        lock.lock();
        reading_ = false;
        left_ -= block.size;
        block.atEnd = block.atEnd || left_ <= 0;
        if (in_ == &in) {
            filled_.push_back(block);
            if (block.atEnd)
                in_ = nullptr; // this input is done
        } else {
            free_.push_back(block.data); // stopped meanwhile
        }
        changed_.notify_all();
    }
}
