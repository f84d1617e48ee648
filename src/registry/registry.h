// A supervisor's guardian registry: a private listening socket, its token, and the table of
// guardian connections with their registration, release and quiescence-proof states.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/sys.h"
#include "protocol/output.h"

class Registry {
public:
    struct Guardian {
        Guardian(int fd, Kqueue& kq);
        int fd;
        int pid = 0;
        uint64_t pidVersion = 0;
        bool registered = false;
        bool released = false;
        bool quiescent = false;
        bool exited = false;
        bool eof = false;
        std::string buffer;
        Output output;
    };

    explicit Registry(Kqueue& kq);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    void acceptOne();
    void read(Guardian& g);
    void advance();
    // Every registered guardian's exit arrives as an event; this reads their records at once,
    // for a decision that must not wait for an event still in the queue.
    void noticeExits();
    void processExit(int pid);
    void begin();
    std::vector<std::pair<int, const char*>> blocking() const;
    bool empty() const;

    Kqueue* kq;
    int listenFd = -1;
    int rootGroup = -1;
    bool terminating = false;
    bool ttyScope = false;
    uint32_t ttyDevice = 0;
    std::string directory;
    std::string endpoint;
    std::string token;
    std::map<int, std::unique_ptr<Guardian>> guardians;
};
