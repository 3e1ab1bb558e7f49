#pragma once
// A file being sent over the serial channel in chunks of about one per cent of its length.
// Holds the open file and the counters; the channel decides when a chunk goes out and reports
// the progress.

#include "os/FileStream.h"

#include <cstdint>
#include <string>

class FileTransfer {
public:
    // Opens the file for reading, bytes unchanged, closing any file opened before; measures it
    // and sets the chunk size to a hundredth of its length, at most maxChunk and at least 1.
    // False when the file cannot be opened; nothing is open then.
    bool Open(const std::string& name, std::int32_t maxChunk);
    void Close() { file_.reset(); }
    bool IsOpen() const { return file_ != nullptr; }

    std::int32_t Size() const { return size_; }
    std::int32_t BytesSent() const { return sent_; }
    std::int32_t ChunkSize() const { return chunk_; }
    std::int32_t PercentComplete() const;
    bool Finished() const { return sent_ >= size_; }

    // Counts the rest of the file as sent, so that the next report is the closing one.
    void SkipRest() { sent_ = size_; }
    void Reset() { sent_ = size_ = 0; }

    // Hands the next chunk to `write` one byte at a time. A byte counts as sent once `write` has
    // returned, so when it throws, BytesSent() holds what really went out. Returns false when
    // the file ends early or cannot be read: the rest can never be sent.
    template <typename Write>
    bool SendChunk(Write&& write)
    {
        for (std::int32_t n = 0; n < chunk_ && sent_ < size_; ++n) {
            const int c = std::fgetc(file_.get());
            if (c == EOF)
                return false;
            write(static_cast<char>(c));
            ++sent_;
        }
        return true;
    }

private:
    FileStream file_;
    std::int32_t size_ = 0;
    std::int32_t sent_ = 0;
    std::int32_t chunk_ = 0;
};
