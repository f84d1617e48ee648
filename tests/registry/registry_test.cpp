// The registry endpoint and its line protocol, driven the way the supervision loop drives
// it, against real sockets and real guardian processes running the real client.

#include "registry/registry.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <memory>

#include "registry/helpers.h"
#include "scope/scope.h"

namespace {

namespace fs = std::filesystem;
using namespace registry_test;

const std::string terminateLine = owner_protocol::frame("\"event\":\"terminate\"");

// Serves one event as the supervision loop does.
void serve(Registry& registry, const platform::Event& event) {
    if (event.filter == EVFILT_PROC) {
        registry.processExit(static_cast<int>(event.ident));
        return;
    }
    if (event.filter != EVFILT_READ) return;
    if (event.ident == registry.listenFd) {
        registry.acceptOne();
        return;
    }
    auto entry = registry.guardians.find(static_cast<int>(event.ident));
    if (entry != registry.guardians.end()) registry.read(*entry->second);
}

// Runs the loop's share of the registry until done() holds. The registry's errors pass
// through; a stall beyond the budget fails the test.
void pump(Registry& registry, Kqueue& kq, const std::function<bool()>& done) {
    int64_t end = deadline();
    registry.advance();
    while (!done()) {
        if (now() > end) throw std::runtime_error("test pump budget exhausted");
        pollfd ready{kq.descriptor(), POLLIN, 0};
        platform::Event event;
        if (::poll(&ready, 1, 10) > 0 && kq.wait(event) == 0) serve(registry, event);
        registry.advance();
    }
}

// Every byte that has arrived on a non-blocking client descriptor so far.
void collect(int fd, std::string& into) {
    char bytes[4096];
    ssize_t n;
    while ((n = ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT)) > 0) into.append(bytes, static_cast<std::size_t>(n));
}

std::size_t lineCount(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { ::signal(SIGPIPE, SIG_IGN); }

    void TearDown() override {
        registry.reset();
        std::error_code ignored;
        for (const auto& entry : fs::recursive_directory_iterator(tmp.path(), ignored))
            EXPECT_EQ(entry.path().filename().string().rfind("solkari-owner-", 0), std::string::npos) << entry.path();
    }

    void run(const std::function<bool()>& done) { pump(*registry, kq, done); }

    std::string failure(const std::function<bool()>& done) {
        return errorOf([&] { pump(*registry, kq, done); });
    }

    // Accepts the test's own connection and returns its client end.
    fixtures::Fd connectSelf() {
        std::size_t before = registry->guardians.size();
        fixtures::Fd client(connectTo(registry->endpoint));
        run([&] { return registry->guardians.size() > before; });
        return client;
    }

    Registry::Guardian* entryOf(int pid) {
        for (auto& entry : registry->guardians)
            if (entry.second->pid == pid) return entry.second.get();
        return nullptr;
    }

    bool hasEntry(int pid, const std::function<bool(const Registry::Guardian&)>& state) {
        Registry::Guardian* g = entryOf(pid);
        return g != nullptr && state(*g);
    }

    // A guardian helper in group that registers with the real client and then acts.
    std::unique_ptr<Forked> guardian(int group, const std::function<void(const Child&, int)>& after,
                                     bool pty = false) {
        std::string endpoint = registry->endpoint, token = registry->token;
        return std::make_unique<Forked>(group, [=](const Child& child) {
            int master = -1, slave = -1;
            uint32_t device = 0;
            int fd = -1;
            try {
                fd = registerAsGuardian(endpoint, token, guardianOptions(pty), master, slave, device, deadline());
            } catch (const std::exception& error) {
                child.report(error.what());
                child.linger();
                return;
            }
            after(child, fd);
        });
    }

    // A helper in group that registers by hand (no session change) and then acts.
    std::unique_ptr<Forked> registrant(int group, const std::function<void(const Child&, int)>& after) {
        std::string endpoint = registry->endpoint, token = registry->token;
        return std::make_unique<Forked>(group, [=](const Child& child) {
            int fd = connectTo(endpoint);
            sendBody(fd, registerBody("command", token));
            if (nextEvent(fd) != "registered") throw std::runtime_error("not registered");
            after(child, fd);
        });
    }

    fixtures::TempDir tmp{true};
    Kqueue kq;
    std::unique_ptr<Registry> registry = std::make_unique<Registry>(kq);
};

void reportAndLinger(const Child& child, int) {
    child.report("ready");
    child.linger();
}

// A group for the root of the scope the registry guards.
fixtures::ChildGroup rootProcess() {
    return fixtures::ChildGroup([] {
        ::pause();
        return 0;
    });
}

// ---- endpoint -------------------------------------------------------------------------------

TEST_F(RegistryTest, EndpointHasPrivateDirectorySocketAndHexToken) {
    fs::path directory(registry->directory);
    EXPECT_EQ(directory.parent_path(), fs::path(tmp.path()));
    std::string name = directory.filename().string();
    EXPECT_EQ(name.size(), 20u);
    EXPECT_EQ(name.rfind("solkari-owner-", 0), 0u);
    struct stat info {};
    ASSERT_EQ(::stat(registry->directory.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(registry->endpoint, registry->directory + "/control");
    ASSERT_EQ(::lstat(registry->endpoint.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(registry->token.size(), 64u);
    EXPECT_EQ(registry->token.find_first_not_of("0123456789abcdef"), std::string::npos);

    Registry second(kq);
    EXPECT_NE(second.directory, registry->directory);
    EXPECT_NE(second.token, registry->token);

    registry.reset();
    EXPECT_FALSE(fs::exists(directory));
}

TEST_F(RegistryTest, DestructorLeavesADirectoryThatHoldsSomethingElse) {
    fs::path directory(registry->directory);
    fixtures::Fd stray(::open((directory / "stray").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    registry.reset();
    EXPECT_FALSE(fs::exists(directory / "control"));
    EXPECT_TRUE(fs::exists(directory / "stray"));
    fs::remove_all(directory);
}

TEST_F(RegistryTest, TemporaryDirectoryGetsExactlyOneSeparator) {
    for (const char* suffix : {"", "/"}) {
        SCOPED_TRACE(suffix);
        ::setenv("TMPDIR", (tmp.path() + suffix).c_str(), 1);
        Registry other(kq);
        EXPECT_EQ(other.directory.rfind(tmp.path() + "/solkari-owner-", 0), 0u) << other.directory;
        EXPECT_EQ(other.directory.find("//"), std::string::npos) << other.directory;
    }
}

TEST_F(RegistryTest, EndpointLengthIsBoundBySocketAddress) {
    const std::size_t limit = platform::socketPathLimit();
    const std::size_t added = std::string("/solkari-owner-XXXXXX/control").size();
    struct Case {
        std::size_t endpointLength;
        const char* error;
    };
    for (Case c : {Case{limit, ""}, Case{limit + 1, "owner endpoint too long"}}) {
        SCOPED_TRACE(c.endpointLength);
        std::string base = tmp.path() + "/" + std::string(c.endpointLength - added - tmp.path().size() - 1, 'd');
        ASSERT_TRUE(fs::create_directory(base));
        ::setenv("TMPDIR", base.c_str(), 1);
        std::unique_ptr<Registry> other;
        EXPECT_EQ(errorOf([&] { other = std::make_unique<Registry>(kq); }), c.error);
        if (other) {
            EXPECT_EQ(other->endpoint.size(), c.endpointLength);
        }
        other.reset();
        EXPECT_TRUE(fs::is_empty(base));
        fs::remove(base);
    }
}

TEST_F(RegistryTest, SixtyFifthConnectionIsClosedUntilAnEntryRetires) {
    registry->acceptOne();  // nothing pending: changes nothing
    EXPECT_TRUE(registry->guardians.empty());

    std::vector<fixtures::Fd> clients;
    for (int i = 0; i < 64; ++i) clients.push_back(connectSelf());
    fixtures::Fd extra(connectTo(registry->endpoint));
    run([&] { return peerClosed(extra.get()); });
    EXPECT_EQ(registry->guardians.size(), 64u);

    clients[10].reset();
    run([&] { return registry->guardians.size() == 63; });
    fixtures::Fd next = connectSelf();
    EXPECT_EQ(registry->guardians.size(), 64u);
    EXPECT_FALSE(peerClosed(next.get()));
}

TEST_F(RegistryTest, AfterBeginConnectionsAreClosedAndStrangersTerminated) {
    fixtures::Fd early = connectSelf();
    registry->begin();
    std::string lines = owner_protocol::frame(registerBody("command", "bad")) +
                        owner_protocol::frame("\"event\":\"anything\"");
    ASSERT_EQ(::write(early.get(), lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    std::string received;
    run([&] {
        collect(early.get(), received);
        return lineCount(received) >= 3;
    });
    EXPECT_EQ(received, terminateLine + terminateLine + terminateLine);

    fixtures::Fd late(connectTo(registry->endpoint));
    run([&] { return peerClosed(late.get()); });
    EXPECT_EQ(registry->guardians.size(), 1u);
}

// ---- registration ---------------------------------------------------------------------------

TEST_F(RegistryTest, RegisterLinesThatAreRefused) {
    auto upper = [](std::string token) {
        for (char& c : token) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return token;
    };
    auto wrong = [](std::string token) {
        token[63] = token[63] == '0' ? '1' : '0';
        return token;
    };
    struct Case {
        const char* name;
        std::function<std::string(const std::string&)> body;
    };
    const Case cases[] = {
        {"wrong token", [&](const std::string& t) { return registerBody("command", wrong(t)); }},
        {"token differing only in case", [&](const std::string& t) { return registerBody("command", upper(t)); }},
        {"token with one byte more", [](const std::string& t) { return registerBody("command", t + "0"); }},
        {"token one byte short", [](const std::string& t) { return registerBody("command", t.substr(1)); }},
        {"empty token", [](const std::string&) { return registerBody("command", ""); }},
        {"unknown kind", [](const std::string& t) { return registerBody("shell", t); }},
        {"no kind", [](const std::string& t) { return "\"event\":\"register\",\"token\":\"" + t + "\""; }},
        {"detached first", [](const std::string&) { return std::string("\"event\":\"detached\""); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        registry = std::make_unique<Registry>(kq);
        ASSERT_NE(upper(registry->token), registry->token);
        registry->rootGroup = ::getpgrp();  // only the line makes the difference
        fixtures::Fd client = connectSelf();
        sendBody(client.get(), c.body(registry->token));
        EXPECT_EQ(failure([] { return false; }), "registry registration refused");
    }
    // The same process with a valid line is accepted.
    registry = std::make_unique<Registry>(kq);
    registry->rootGroup = ::getpgrp();
    fixtures::Fd client = connectSelf();
    sendBody(client.get(), registerBody("pty", registry->token));
    run([&] { return registry->guardians.begin()->second->registered && registry->guardians.begin()->second->output.empty(); });
    EXPECT_EQ(nextEvent(client.get()), "registered");
}

TEST_F(RegistryTest, ScopeCheckByProcessGroup) {
    fixtures::ChildGroup root = rootProcess();
    registry->rootGroup = root.pid();
    struct Case {
        const char* name;
        int group;
        const char* error;
    };
    for (Case c : {Case{"inside", root.pid(), ""}, Case{"outside", ownGroup, "guardian must register before detach"}}) {
        SCOPED_TRACE(c.name);
        registry = std::make_unique<Registry>(kq);
        registry->rootGroup = root.pid();
        auto helper = guardian(c.group, reportAndLinger);
        EXPECT_EQ(failure([&] { return helper->reported(); }), c.error);
        if (*c.error == '\0') {
            EXPECT_EQ(helper->result(), "ready");
            EXPECT_TRUE(hasEntry(helper->pid(), [](const auto& g) { return g.registered && g.released; }));
        }
    }
}

TEST_F(RegistryTest, ScopeCheckByTerminal) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fixtures::Fd masterFd(master), slaveFd(slave);
    struct stat device {};
    ASSERT_EQ(::fstat(slave, &device), 0);
    fixtures::ChildGroup root = rootProcess();
    std::string endpoint, token;

    // A session that holds the terminal, and inside it (not leading it) the guardian.
    auto onTerminal = [&](const Child& child) {
        ::setsid();
        if (::ioctl(slave, TIOCSCTTY, 0) < 0) throw std::runtime_error("no terminal");
        pid_t inner = ::fork();
        if (inner == 0) {
            child.enlist();
            try {
                int m = -1, s = -1;
                uint32_t d = 0;
                registerAsGuardian(endpoint, token, guardianOptions(true), m, s, d, deadline());
                child.report("released");
            } catch (const std::exception& error) {
                child.report(error.what());
            }
            child.linger();
            ::_exit(0);
        }
        child.linger();
    };
    auto inGroupOnly = [&](const Child& child) {
        int m = -1, s = -1;
        uint32_t d = 0;
        registerAsGuardian(endpoint, token, guardianOptions(false), m, s, d, deadline());
        child.report("released");
        child.linger();
    };
    struct Case {
        const char* name;
        int group;
        std::function<void(const Child&)> body;
        const char* error;
    };
    const Case cases[] = {
        {"on the terminal", sameGroup, onTerminal, ""},
        {"in the root group, not on the terminal", root.pid(), inGroupOnly, "guardian must register before detach"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        registry = std::make_unique<Registry>(kq);
        registry->rootGroup = root.pid();
        registry->ttyScope = true;
        registry->ttyDevice = static_cast<uint32_t>(device.st_rdev);
        endpoint = registry->endpoint;
        token = registry->token;
        Forked helper(c.group, c.body, {slave});
        EXPECT_EQ(failure([&] { return helper.reported(); }), c.error);
        if (*c.error == '\0') {
            EXPECT_EQ(helper.result(), "released");
            ASSERT_EQ(registry->guardians.size(), 1u);
            EXPECT_TRUE(registry->guardians.begin()->second->released);
        }
    }
}

// ---- detach ---------------------------------------------------------------------------------

TEST_F(RegistryTest, DetachFromAnyoneButTheRegisteredSessionLeaderIsFatal) {
    fixtures::ChildGroup root = rootProcess();
    auto withoutSetsid = [](const Child& child, int fd) {
        sendBody(fd, "\"event\":\"detached\"");
        child.linger();
    };
    auto groupLeaderOnly = [](const Child& child, int fd) {
        ::setpgid(0, 0);
        sendBody(fd, "\"event\":\"detached\"");
        child.linger();
    };
    auto fromAnotherProcess = [](const Child& child, int fd) {
        if (::fork() == 0) {
            child.enlist();
            ::setsid();
            sendBody(fd, "\"event\":\"detached\"");
            child.linger();
            ::_exit(0);
        }
        child.linger();
    };
    struct Case {
        const char* name;
        std::function<void(const Child&, int)> after;
    };
    for (const Case& c : {Case{"same process without setsid", withoutSetsid},
                          Case{"own group but not own session", groupLeaderOnly},
                          Case{"another process after setsid", fromAnotherProcess}}) {
        SCOPED_TRACE(c.name);
        registry = std::make_unique<Registry>(kq);
        registry->rootGroup = root.pid();
        auto helper = registrant(root.pid(), c.after);
        EXPECT_EQ(failure([] { return false; }), "guardian detach identity");
    }
}

TEST_F(RegistryTest, DetachAfterBeginIsAnsweredWithTerminate) {
    fixtures::ChildGroup root = rootProcess();
    registry->rootGroup = root.pid();
    auto helper = registrant(root.pid(), [](const Child& child, int fd) {
        ::setsid();
        sendBody(fd, "\"event\":\"detached\"");
        std::string first = nextEvent(fd);
        child.report(first + " " + nextEvent(fd));
        child.linger();
    });
    // The registered reply is flushed by the advance that ends this pump, before any
    // detached line can have been read.
    run([&] { return hasEntry(helper->pid(), [](const auto& g) { return g.registered && g.output.empty(); }); });
    registry->begin();
    run([&] { return helper->reported(); });
    EXPECT_EQ(helper->result(), "terminate terminate");
    EXPECT_TRUE(hasEntry(helper->pid(), [](const auto& g) { return g.registered && !g.released; }));
}

// ---- the end of a guardian ------------------------------------------------------------------

TEST_F(RegistryTest, EndOfAGuardianConnection) {
    fixtures::ChildGroup root = rootProcess();
    auto proofThenExit = [](const Child&, int fd) { sendBody(fd, "\"event\":\"quiescent\""); };
    auto exitAtOnce = [](const Child&, int) {};
    struct Case {
        const char* name;
        bool release;
        std::function<void(const Child&, int)> after;
        const char* error;
    };
    const Case cases[] = {
        {"released, proof in the last bytes", true, proofThenExit, ""},
        {"released, no proof", true, exitAtOnce, "guardian exited without quiescent proof"},
        {"registered only, no proof needed", false, exitAtOnce, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        registry = std::make_unique<Registry>(kq);
        registry->rootGroup = root.pid();
        auto helper = c.release ? guardian(root.pid(), c.after) : registrant(root.pid(), c.after);
        EXPECT_EQ(failure([&] { return registry->guardians.empty() && helper->reported(); }), c.error);
    }
}

TEST_F(RegistryTest, AdvanceAloneDrainsAGuardianNoticedExited) {
    fixtures::ChildGroup root = rootProcess();
    registry->rootGroup = root.pid();
    auto helper = guardian(root.pid(), [](const Child& child, int fd) {
        sendBody(fd, "\"event\":\"quiescent\"");
        child.report("proven");
    });
    run([&] { return helper->reported(); });
    EXPECT_EQ(helper->result(), "proven");
    ASSERT_TRUE(fixtures::eventually([&] { return info(helper->pid()).pbi_status == SZOMB; }));
    // No event is served from here on: once a decision has looked at the records, the reads
    // of advance do the rest.
    registry->noticeExits();
    int64_t end = deadline();
    while (!registry->guardians.empty() && now() < end) registry->advance();
    ASSERT_TRUE(registry->guardians.empty()) << [&] {
        const Registry::Guardian& g = *registry->guardians.begin()->second;
        return "registered=" + std::to_string(g.registered) + " released=" + std::to_string(g.released) +
               " quiescent=" + std::to_string(g.quiescent) + " exited=" + std::to_string(g.exited) +
               " eof=" + std::to_string(g.eof) + " buffer=" + g.buffer;
    }();
}

TEST_F(RegistryTest, ZombieThatSentRegisterIsOutOfScope) {
    fixtures::ChildGroup root = rootProcess();
    registry->rootGroup = root.pid();
    std::string endpoint = registry->endpoint, token = registry->token;
    Forked helper(root.pid(), [&](const Child&) {
        int fd = connectTo(endpoint);
        sendBody(fd, registerBody("command", token));
    });
    ASSERT_TRUE(fixtures::eventually([&] { return info(helper.pid()).pbi_status == SZOMB; }));
    EXPECT_EQ(failure([] { return false; }), "guardian must register before detach");
}

TEST_F(RegistryTest, GuardianKilledWithTerminateUnreadIsRetired) {
    fixtures::ChildGroup root = rootProcess();
    registry->rootGroup = root.pid();
    auto helper = registrant(root.pid(), reportAndLinger);
    run([&] { return helper->reported(); });
    registry->begin();
    run([&] { return hasEntry(helper->pid(), [](const auto& g) { return g.output.empty(); }); });
    helper->kill();
    EXPECT_EQ(failure([&] { return registry->guardians.empty(); }), "");
}

TEST_F(RegistryTest, ExitOrExecEventLooksAtTheProcessAgain) {
    fixtures::ChildGroup root = rootProcess();
    registry->rootGroup = root.pid();
    auto helper = registrant(root.pid(), reportAndLinger);
    run([&] { return helper->reported(); });
    Registry::Guardian* g = entryOf(helper->pid());
    ASSERT_NE(g, nullptr);
    registry->processExit(helper->pid());  // still the same process, as after an exec
    EXPECT_FALSE(g->exited);
    ::kill(helper->pid(), SIGKILL);
    ASSERT_TRUE(fixtures::eventually([&] { return info(helper->pid()).pbi_status == SZOMB; }));
    registry->processExit(helper->pid());
    EXPECT_TRUE(g->exited);
}

TEST_F(RegistryTest, BlockingNamesInDescriptorOrder) {
    EXPECT_TRUE(registry->empty());
    EXPECT_TRUE(registry->blocking().empty());
    fixtures::ChildGroup root = rootProcess();
    registry->rootGroup = root.pid();
    std::map<int, std::string> expected;

    fixtures::Fd unregistered = connectSelf();
    expected[::getpid()] = "eof_pending";

    auto released = guardian(root.pid(), reportAndLinger);
    run([&] { return released->reported(); });
    expected[released->pid()] = "not_quiescent";

    auto running = registrant(root.pid(), reportAndLinger);
    run([&] { return running->reported(); });
    expected[running->pid()] = "running";

    auto exited = registrant(root.pid(), [](const Child& child, int) {
        if (::fork() == 0) {  // keeps the connection open after the registrant is gone
            child.enlist();
            child.report("holding");
            child.linger();
            ::_exit(0);
        }
    });
    run([&] { return exited->reported(); });
    EXPECT_EQ(exited->result(), "holding");  // enlisted, so that it is killed with the helper
    run([&] { return hasEntry(exited->pid(), [](const auto& g) { return g.exited; }); });
    expected[exited->pid()] = "exited_no_eof";

    std::vector<std::pair<int, std::string>> want;
    for (const auto& entry : registry->guardians) want.emplace_back(entry.second->pid, expected[entry.second->pid]);
    std::vector<std::pair<int, std::string>> got;
    for (const auto& [pid, name] : registry->blocking()) got.emplace_back(pid, name);
    EXPECT_EQ(got, want);
    EXPECT_EQ(got.size(), 4u);
    EXPECT_FALSE(registry->empty());
}

// ---- framing --------------------------------------------------------------------------------

TEST_F(RegistryTest, UnprocessedBytesAreLimitedTo65536) {
    struct Case {
        std::size_t size;
        const char* error;
    };
    for (Case c : {Case{65536, ""}, Case{65537, "registry frame too large"}}) {
        SCOPED_TRACE(c.size);
        registry = std::make_unique<Registry>(kq);
        fixtures::Fd client = connectSelf();
        fdFlags(client.get(), true);
        Registry::Guardian& g = *registry->guardians.begin()->second;
        std::string bytes(c.size, 'x');
        std::size_t sent = 0;
        EXPECT_EQ(failure([&] {
                      ssize_t n = ::write(client.get(), bytes.data() + sent, bytes.size() - sent);
                      if (n > 0) sent += static_cast<std::size_t>(n);
                      return sent == bytes.size() && g.buffer.size() == c.size;
                  }),
                  c.error);
    }
}

TEST_F(RegistryTest, LineSplitOverTwoReadsIsHandledOnce) {
    registry->rootGroup = ::getpgrp();
    fixtures::Fd client = connectSelf();
    Registry::Guardian& g = *registry->guardians.begin()->second;
    std::string line = owner_protocol::frame(registerBody("command", registry->token));
    std::string head = line.substr(0, 30), tail = line.substr(30);
    ASSERT_EQ(::write(client.get(), head.data(), head.size()), static_cast<ssize_t>(head.size()));
    run([&] { return g.buffer == head; });
    EXPECT_FALSE(g.registered);
    ASSERT_EQ(::write(client.get(), tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
    std::string received;
    run([&] {
        collect(client.get(), received);
        return g.registered && g.output.empty() && !received.empty();
    });
    EXPECT_TRUE(g.buffer.empty());
    EXPECT_EQ(received, owner_protocol::frame("\"event\":\"registered\""));
}

TEST_F(RegistryTest, EmptyLineIsFatalThroughParse) {
    fixtures::Fd client = connectSelf();
    ASSERT_EQ(::write(client.get(), "\n", 1), 1);
    EXPECT_EQ(failure([] { return false; }), "JSON object");
}

}  // namespace

// A guardian that ends right after its detached line (for instance because a stop answered
// its registration with terminate) forked nothing of its own: it retires without failing.
TEST_F(RegistryTest, GuardianThatEndsBeforeItsReleaseRetiresQuietly) {
    fixtures::ChildGroup root = rootProcess();
    registry->rootGroup = root.pid();
    auto helper = registrant(root.pid(), [](const Child&, int fd) {
        ::setsid();
        sendBody(fd, "\"event\":\"detached\"");
    });
    run([&] { return hasEntry(helper->pid(), [](const auto& g) { return g.registered && g.output.empty(); }); });
    // The detached line is read only once its sender is a zombie.
    ASSERT_TRUE(fixtures::eventually([&] { return info(helper->pid()).pbi_status == SZOMB; }));
    EXPECT_NO_THROW(run([&] { return registry->guardians.empty(); }));
    EXPECT_TRUE(registry->empty());
}
