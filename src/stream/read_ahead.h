// The run's one reader thread: it reads the next blocks of a large track while the main thread
// corrects and writes the one before, so that a copy takes about as long as the slower of
// reading and writing rather than their sum. This hand-over is the one piece of state the two
// threads share, and everything of it is here: a few page-aligned buffers, the queue of those
// filled, and the file being read. The rule, the writer, the batch of copies and the
// interruption stay on the main thread. No copy leaves the reader at work: every copy that
// starts it stops it before it returns.
#pragma once

#include "stream/block_buffer.h"

#include <QIODevice>
#include <QString>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct ReadBlock {
    char *data = nullptr; // with BlockBuffer::roomBefore bytes free in front of it
    qint64 size = 0;
    bool atEnd = false;
    bool failed = false;
    QString reason; // why the read failed
};

class ReadAhead
{
  public:
    // Reads blocks of `blockSize` bytes, each into a BlockBuffer.
    explicit ReadAhead(qint64 blockSize);
    ~ReadAhead();
    ReadAhead(const ReadAhead &) = delete;
    ReadAhead &operator=(const ReadAhead &) = delete;

    qint64 blockSize() const { return blockSize_; }

    // Reads `in`, `size` bytes, from now on, block after block, each read whole unless the
    // input ends (a read that brings nothing) or fails. The thread is started the first time.
    void start(QIODevice &in, qint64 size);
    // The next block, once it has been read. The one taken before it is handed back.
    ReadBlock take();
    // Stops the reading of this input and waits until the reader has let go of it.
    void stop();

  private:
    void readBlocks();

    const qint64 blockSize_;
    std::vector<BlockBuffer> storage_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<char *> free_;     // buffers the reader may fill
    std::deque<ReadBlock> filled_; // in the order read
    char *taken_ = nullptr;        // the buffer the main thread works in
    QIODevice *in_ = nullptr;      // the input being read, or none
    qint64 left_ = 0;
    bool reading_ = false; // the reader is inside a read of in_, without the lock
    bool quit_ = false;
    std::thread thread_;
};
