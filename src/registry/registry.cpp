#include "registry/registry.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "protocol/parse.h"
#include "scope/scope.h"

namespace {

constexpr std::size_t tableLimit = 64;
constexpr std::size_t readSize = 8192;
constexpr std::size_t frameLimit = 65536;
constexpr std::size_t tokenBytes = 32;

const char* const terminateBody = "\"event\":\"terminate\"";
const char* const registeredBody = "\"event\":\"registered\"";
const char* const releasedBody = "\"event\":\"released\"";

std::string makeDirectory() {
    std::string path = std::filesystem::temp_directory_path().string();
    if (path.empty() || path.back() != '/') path += '/';
    path += "solkari-owner-XXXXXX";
    if (::mkdtemp(path.data()) == nullptr) fail("owner socket directory");
    return path;
}

std::string makeToken() {
    unsigned char bytes[tokenBytes];
    if (platform::randomBytes(bytes, sizeof bytes) < 0) fail("owner registry token");
    static constexpr char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token += digits[byte >> 4];
        token += digits[byte & 0x0f];
    }
    return token;
}

sockaddr_un endpointAddress(const std::string& endpoint) {
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (endpoint.size() > platform::socketPathLimit()) throw std::runtime_error("owner endpoint too long");
    std::memcpy(address.sun_path, endpoint.c_str(), endpoint.size() + 1);
    return address;
}

// Every byte is looked at whatever the others hold, so the time taken says nothing about
// how much of a guessed token was right.
bool sameToken(const std::string& presented, const std::string& token) {
    if (presented.size() != token.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(presented[i] ^ token[i]);
    return difference == 0;
}

bool validRegister(Fields& fields, const std::string& token) {
    const std::string& kind = fields["kind"];
    return fields["event"] == "register" && sameToken(fields["token"], token) &&
           (kind == "pty" || kind == "command");
}

bool samePid(uint32_t recorded, int pid) { return recorded == static_cast<uint32_t>(pid); }

// Gone, turned into a zombie, or its pid now names another process.
bool hasExited(const ProcessRecord& record, uint64_t pidVersion) {
    return record.pbi_pid == 0 || record.p_idversion != pidVersion || record.pbi_status == SZOMB;
}

bool inScope(const Registry& registry, const Registry::Guardian& g, const ProcessRecord& record) {
    bool member = registry.ttyScope ? record.e_tdev == registry.ttyDevice : samePid(record.pbi_pgid, registry.rootGroup);
    return samePid(record.pbi_pid, g.pid) && member && record.pbi_status != SZOMB;
}

bool detachedItself(const Registry::Guardian& g, const ProcessRecord& record) {
    return record.pbi_pid != 0 && record.p_idversion == g.pidVersion && samePid(record.pbi_pgid, g.pid) &&
           ::getsid(g.pid) == g.pid;
}

void registerGuardian(Registry& registry, Registry::Guardian& g, Fields& fields) {
    if (!validRegister(fields, registry.token)) throw std::runtime_error("registry registration refused");
    ProcessRecord record = info(g.pid);
    if (!inScope(registry, g, record)) throw std::runtime_error("guardian must register before detach");
    g.pidVersion = record.p_idversion;
    if (!watch(*registry.kq, g.pid)) throw std::runtime_error("guardian exited before registration");
    g.registered = true;
    g.output.emit(registeredBody);
}

// A guardian starts its own root only once released, so one that ended before its detach
// was answered left nothing behind: it is counted as exited rather than as an impostor.
bool endedBeforeRelease(const Registry::Guardian& g, const ProcessRecord& record) {
    return record.pbi_pid == 0 || (record.p_idversion == g.pidVersion && record.pbi_status == SZOMB);
}

void releaseGuardian(Registry& registry, Registry::Guardian& g) {
    ProcessRecord record = info(g.pid);
    if (endedBeforeRelease(g, record)) {
        g.exited = true;
        return;
    }
    if (!detachedItself(g, record)) throw std::runtime_error("guardian detach identity");
    if (registry.terminating) {
        g.output.emit(terminateBody);
        return;
    }
    g.released = true;
    g.output.emit(releasedBody);
}

void dispatch(Registry& registry, Registry::Guardian& g, Fields& fields) {
    const std::string event = fields["event"];
    if (!g.registered) {
        if (registry.terminating)
            g.output.emit(terminateBody);
        else
            registerGuardian(registry, g, fields);
        return;
    }
    if (event == "detached" && !g.released) {
        releaseGuardian(registry, g);
        return;
    }
    if (event == "quiescent" && g.released && !g.quiescent) {
        g.quiescent = true;
        return;
    }
    throw std::runtime_error("guardian registry protocol");
}

void takeLines(Registry& registry, Registry::Guardian& g) {
    std::size_t newline;
    while ((newline = g.buffer.find('\n')) != std::string::npos) {
        Fields fields = parse(g.buffer.substr(0, newline));
        g.buffer.erase(0, newline + 1);
        dispatch(registry, g, fields);
    }
}

const char* blockingName(const Registry::Guardian& g) {
    if (!g.registered && !g.eof) return "eof_pending";
    if (g.registered && g.released && !g.quiescent) return "not_quiescent";
    if (g.registered && !g.exited) return "running";
    if (g.registered && g.exited && !g.eof) return "exited_no_eof";
    return nullptr;
}

bool retirable(const Registry::Guardian& g) {
    return g.eof && (!g.registered || (g.exited && (!g.released || g.quiescent)));
}

}  // namespace

Registry::Guardian::Guardian(int fd, Kqueue& kq) : fd(fd), output(fd, kq, false) {}

Registry::Registry(Kqueue& kq) : kq(&kq) {
    try {
        directory = makeDirectory();
        endpoint = directory + "/control";
        token = makeToken();
        listenFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (listenFd < 0) fail("owner registry socket");
        fdFlags(listenFd, true);
        sockaddr_un address = endpointAddress(endpoint);
        if (::bind(listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 ||
            ::listen(listenFd, static_cast<int>(tableLimit)) < 0)
            fail("owner registry listen");
        change(kq, listenFd, EVFILT_READ, EV_ADD, 0, 0);
    } catch (...) {
        if (listenFd >= 0) ::close(listenFd);
        if (!endpoint.empty()) ::unlink(endpoint.c_str());
        if (!directory.empty()) ::rmdir(directory.c_str());
        throw;
    }
}

Registry::~Registry() {
    for (auto& entry : guardians) ::close(entry.first);
    if (listenFd >= 0) ::close(listenFd);
    if (!endpoint.empty()) ::unlink(endpoint.c_str());
    if (!directory.empty()) ::rmdir(directory.c_str());
}

void Registry::acceptOne() {
    int fd = ::accept(listenFd, nullptr, nullptr);
    if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        fail("registry accept");
    }
    if (guardians.size() >= tableLimit || terminating) {
        ::close(fd);
        return;
    }
    try {
        auto g = std::make_unique<Guardian>(fd, *kq);
        g->pid = platform::peerPid(fd);
        if (g->pid <= 0) throw std::runtime_error("registry peer identity");
        change(*kq, fd, EVFILT_READ, EV_ADD, 0, 0);
        guardians.emplace(fd, std::move(g));
    } catch (...) {
        ::close(fd);
        throw;
    }
}

void Registry::read(Guardian& g) {
    if (g.eof) return;
    char bytes[readSize];
    ssize_t got = ::read(g.fd, bytes, sizeof bytes);
    // A peer that closes with our replies still unread makes the kernel report a reset once,
    // after every byte it sent; that is its end of file.
    if (got < 0 && errno != ECONNRESET) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        fail("registry read");
    }
    if (got <= 0) {
        g.eof = true;
        removeEvent(*kq, g.fd, EVFILT_READ);
        return;
    }
    g.buffer.append(bytes, static_cast<std::size_t>(got));
    if (g.buffer.size() > frameLimit) throw std::runtime_error("registry frame too large");
    takeLines(*this, g);
}

void Registry::advance() {
    for (auto& entry : guardians) {
        Guardian& g = *entry.second;
        g.output.flush();
        if (g.exited && !g.eof) read(g);
        if (g.exited && g.eof && g.released && !g.quiescent) {
            // Nothing vouches for what the guardian left in its session any more.
            killSession(g.pid);
            throw std::runtime_error("guardian exited without quiescent proof");
        }
    }
    for (auto it = guardians.begin(); it != guardians.end();) {
        if (!retirable(*it->second)) {
            ++it;
            continue;
        }
        ::close(it->first);
        it = guardians.erase(it);
    }
}

void Registry::noticeExits() {
    for (auto& entry : guardians) {
        Guardian& g = *entry.second;
        if (g.registered && !g.exited && hasExited(info(g.pid), g.pidVersion)) g.exited = true;
    }
}

void Registry::processExit(int pid) {
    for (auto& entry : guardians) {
        Guardian& g = *entry.second;
        if (!g.registered || g.pid != pid) continue;
        if (hasExited(info(pid), g.pidVersion))
            g.exited = true;
        else
            watch(*kq, pid);
    }
}

void Registry::begin() {
    terminating = true;
    for (auto& entry : guardians)
        if (!entry.second->eof) entry.second->output.emit(terminateBody);
}

std::vector<std::pair<int, const char*>> Registry::blocking() const {
    std::vector<std::pair<int, const char*>> names;
    for (const auto& entry : guardians)
        if (const char* name = blockingName(*entry.second)) names.emplace_back(entry.second->pid, name);
    return names;
}

bool Registry::empty() const {
    for (const auto& entry : guardians)
        if (blockingName(*entry.second) != nullptr) return false;
    return true;
}
