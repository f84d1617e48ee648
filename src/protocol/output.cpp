#include "protocol/output.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "protocol/owner_protocol.h"

namespace {

constexpr uint64_t controlLimit = 16;
constexpr uint64_t flushBudget = 8192;

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
        if (writeArmed) {
            removeEvent(*kq, fd, EVFILT_WRITE);
            writeArmed = false;
        }
        return;
    }
    uint64_t budget = flushBudget;
    while (budget > 0 && !frames.empty()) {
        Frame& oldest = frames.front();
        uint64_t left = oldest.bytes.size() - offset;
        uint64_t n = budget < left ? budget : left;
        ssize_t written = ::write(fd, oldest.bytes.data() + offset, static_cast<std::size_t>(n));
        if (written < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) broken = true;
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
    }
    const bool want = !broken && !frames.empty();
    if (want != writeArmed) {
        if (want)
            change(*kq, fd, EVFILT_WRITE, EV_ADD, 0, 0);
        else
            removeEvent(*kq, fd, EVFILT_WRITE);
        writeArmed = want;
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
