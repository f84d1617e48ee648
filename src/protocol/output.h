// The bounded, non-blocking writer queue in front of one descriptor.
//
// Producers queue frames without blocking; the loop flushes every writer once per
// iteration, and does not block while a writer holds bytes that no write interest will wake
// it for (backlog). Data frames (output, input chunks) are limited to 64 queued and are dropped
// and counted by a lossy writer or flag `overflow` otherwise; control frames are limited to
// 16 and a seventeenth breaks the writer; the sealing frame passes the limit so that the
// last line of a run is never refused.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "platform/sys.h"

class Output {
public:
    struct Frame {
        std::string bytes;
        bool data = false;
    };

    static constexpr uint64_t dataLimit = 64;

    Output(int fd, Kqueue& kq, bool lossy);

    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void push(std::string bytes, bool data, bool seal, uint64_t cost);
    void flush();
    void emit(const std::string& body);
    std::string counters() const;
    void emitLogDropped();
    void discard();
    void unwatch();

    // Bytes left over by the flush budget alone, with no write interest to wake the loop.
    bool backlog() const { return !broken && !writeArmed && !frames.empty(); }

    std::size_t size() const { return frames.size(); }
    bool empty() const { return frames.empty(); }

    int fd;
    Kqueue* kq;
    std::deque<Frame> frames;
    uint64_t offset = 0;
    uint64_t dataQueued = 0;
    uint64_t controlQueued = 0;
    uint64_t dropped = 0;
    uint64_t droppedBytes = 0;
    bool lossy;
    bool overflow = false;
    bool broken = false;
    bool sealed = false;
    bool writeArmed = false;
};
