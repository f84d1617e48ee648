// Descriptors the parent passes to the supervisor without close-on-exec reach the root
// unchanged: same number, same open file. Clients rely on it to hand a channel to their root.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "e2e/harness.h"

namespace {

std::string linkOf(const std::string& path) {
    char target[256];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
}

// Everything the read end yields until end of file, which comes only once every process
// holding the write end is gone.
std::string readToEnd(int fd) {
    std::string all;
    auto deadline = e2e::Clock::now() + e2e::patience;
    while (e2e::Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return all;
        all.append(buf, static_cast<std::size_t>(n));
    }
    ADD_FAILURE() << "no end of file on the passed pipe; read so far: " << all;
    return all;
}

TEST(InheritedDescriptors, ReachTheRootUnchangedWhileCloseOnExecOnesDoNot) {
    fixtures::Pipe channel;
    fixtures::Pipe sealed;
    ASSERT_GE(channel.write.get(), 0);
    ASSERT_GE(sealed.write.get(), 0);
    fixtures::Fd passed(::fcntl(channel.write.get(), F_DUPFD, 40));
    fixtures::Fd kept(::fcntl(sealed.write.get(), F_DUPFD_CLOEXEC, 40));
    ASSERT_GE(passed.get(), 40);
    ASSERT_GE(kept.get(), 40);
    channel.write.reset();
    const std::string p = std::to_string(passed.get()), k = std::to_string(kept.get());
    const std::string file = linkOf("/proc/self/fd/" + p);
    ASSERT_EQ(file.rfind("pipe:", 0), 0u) << file;

    e2e::Supervisor owner;
    e2e::startReady(owner, e2e::sh("echo \"passed=$(readlink /proc/$$/fd/" + p + ")\"; echo through >/proc/$$/fd/" + p +
                                   "; if [ -e /proc/$$/fd/" + k + " ]; then echo sealed=leaked; else echo sealed=closed; fi"));
    // From here on only the supervisor and its root hold the write end. (The shell cannot
    // name a descriptor above 9 in a redirection, so the root writes through /proc.)
    passed.reset();
    EXPECT_EQ(owner.finish(), 0);
    std::string out = e2e::decodedOutput(owner.events().lines(), "stdout");
    EXPECT_NE(out.find("passed=" + file + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("sealed=closed\n"), std::string::npos) << out;
    EXPECT_EQ(readToEnd(channel.read.get()), "through\n");
}

}  // namespace
