#include "supervision/start.h"

#include <algorithm>
#include <csignal>
#include <memory>
#include <string>

#include "launch/spawn.h"
#include "supervision/teardown.h"

namespace {

void createWriters(Supervisor& s, const LaunchedRoot& root) {
    s.rootInput = std::make_unique<Output>(root.input, s.kq, false);
    s.outputs = root.outputs;
    for (auto& [number, fd] : root.extraInputs) s.extraInputs[number].writer = std::make_unique<Output>(fd, s.kq, false);
}

void registerEvents(Supervisor& s) {
    for (auto& [fd, stream] : s.outputs) {
        fdFlags(fd, true);
        change(s.kq, fd, EVFILT_READ, EV_ADD, 0, 0);
    }
    change(s.kq, 0, EVFILT_READ, EV_ADD, 0, 0);
    change(s.kq, SIGHUP, EVFILT_SIGNAL, EV_ADD, 0, 0);
    change(s.kq, SIGTERM, EVFILT_SIGNAL, EV_ADD, 0, 0);
    change(s.kq, SIGINT, EVFILT_SIGNAL, EV_ADD, 0, 0);
    // Orphans that end up as this program's children are reaped as they exit.
    change(s.kq, SIGCHLD, EVFILT_SIGNAL, EV_ADD, 0, 0);
    change(s.kq, wakeEvent, EVFILT_USER, EV_ADD | EV_CLEAR, 0, 0);
    s.watchedPids = {s.outer.rootPid};
}

void reportStart(Supervisor& s) {
    std::string pid = std::to_string(s.outer.rootPid);
    if (s.execErrno != 0) {
        s.failStage = "exec";
        s.parent().emit("\"event\":\"spawn_failed\",\"pid\":" + pid + ",\"errno\":" + std::to_string(s.execErrno));
    } else {
        s.parent().emit("\"event\":\"started\",\"pid\":" + pid);
    }
    if (!s.ready) timer(s.kq, startupTimer, static_cast<int>(std::max<int64_t>(1, s.startupDeadline - now())));
    if (s.execErrno != 0) stop(s, "spawn_failed");
}

}  // namespace

void startRoot(Supervisor& s, char** argv) {
    LaunchRequest request{s.options, s.kq, s.outer.ptyMaster, s.outer.ptySlave, s.startupDeadline, argv};
    LaunchedRoot root = launchRoot(request, s.outer.rootPid, s.outer.rootGrouped);
    s.registry.rootGroup = s.outer.rootPid;
    s.execErrno = root.execErrno;
    createWriters(s, root);
    registerEvents(s);
    s.ready = s.options.guardian;
    reportStart(s);
}
