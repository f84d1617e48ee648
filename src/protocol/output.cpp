#include "protocol/output.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "protocol/owner_protocol.h"

namespace {

constexpr uint64_t controlLimit = 16;
// At least one whole output line (10983 bytes for a full read), so that a reader that keeps
// up takes each line with one write; still bounded, so that one writer cannot hold up the
// loop's other work.
constexpr uint64_t flushBudget = 16384;

}  // namespace

Output::Output(int fd, Kqueue& kq, bool lossy) : fd(fd), kq(&kq), lossy(lossy) { fdFlags(fd, true); }

void Output::push(std::string bytes, bool data, bool seal, uint64_t cost) {
    if (sealed || broken) return;
    if (bytes.empty()) return;
    if (data && dataQueued == Output::dataLimit) {
        if (lossy) {
            dropped += 1;
            droppedBytes += cost;
        } else {
            overflow = true;
        }
        return;
    }
    if (!data && !seal && controlQueued == controlLimit) {
        broken = true;
        return;
    }
    frames.push_back(Frame{std::move(bytes), data});
    if (data)
        dataQueued += 1;
    else
        controlQueued += 1;
    if (seal) sealed = true;
}

void Output::flush() {
    if (broken) {
        unwatch();
        return;
    }
    uint64_t budget = flushBudget;
    bool full = false;
    while (budget > 0 && !frames.empty()) {
        Frame& oldest = frames.front();
        uint64_t left = oldest.bytes.size() - offset;
        uint64_t n = budget < left ? budget : left;
        ssize_t written = ::write(fd, oldest.bytes.data() + offset, static_cast<std::size_t>(n));
        if (written < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                broken = true;
            else
                full = true;
            break;
        }
        if (written == 0) {
            broken = true;
            break;
        }
        offset += static_cast<uint64_t>(written);
        budget -= static_cast<uint64_t>(written);
        if (offset == oldest.bytes.size()) {
            if (oldest.data)
                dataQueued -= 1;
            else
                controlQueued -= 1;
            frames.pop_front();
            offset = 0;
        }
        // A short write means the descriptor is full: another one would only find EAGAIN.
        if (static_cast<uint64_t>(written) < n) {
            full = true;
            break;
        }
    }
    // The interest is taken when the descriptor turns bytes away and kept until the queue is
    // empty, so that a reader that keeps up costs no registration changes at all. A queue left
    // over only by the budget has no interest; the loop sees it through backlog().
    if (broken || frames.empty()) {
        unwatch();
    } else if (full && !writeArmed) {
        change(*kq, fd, EVFILT_WRITE, EV_ADD, 0, 0);
        writeArmed = true;
    }
}

void Output::emit(const std::string& body) { push(owner_protocol::frame(body), false, false, 0); }

std::string Output::counters() const {
    std::string text = ",\"queued\":";
    text += std::to_string(dataQueued + controlQueued);
    text += ",\"dropped\":";
    text += std::to_string(dropped);
    text += ",\"dropped_bytes\":";
    text += std::to_string(droppedBytes);
    return text;
}

void Output::emitLogDropped() {
    if (dropped == 0 || controlQueued == controlLimit) return;
    std::string body = "\"event\":\"log_dropped\",\"frames\":";
    body += std::to_string(dropped);
    body += ",\"bytes\":";
    body += std::to_string(droppedBytes);
    emit(body);
}

void Output::discard() {
    frames.clear();
    offset = 0;
    dataQueued = 0;
    controlQueued = 0;
}

void Output::unwatch() {
    if (writeArmed) {
        removeEvent(*kq, fd, EVFILT_WRITE);
        writeArmed = false;
    }
}
