// Cost of one scope listing and one record read, on the machine as it is and with a
// thousand unrelated sleeping processes added. Teardown lists the scope on every loop
// iteration, and the listing walks every process of the machine.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "scope/scope.h"

namespace {

constexpr int groupSize = 10;

[[noreturn]] void sleepForever() {
    for (;;) ::pause();
}

// A process group of sleeping processes forked by the benchmark, which kills and reaps
// every one of them when it goes.
class SleepingGroup {
public:
    explicit SleepingGroup(int size) {
        for (int i = 0; i < size; ++i) add();
    }
    SleepingGroup(const SleepingGroup&) = delete;
    SleepingGroup& operator=(const SleepingGroup&) = delete;
    ~SleepingGroup() {
        if (pids_.empty()) return;
        ::kill(-pids_.front(), SIGKILL);
        for (int pid : pids_)
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
    }
    int leader() const { return pids_.empty() ? 0 : pids_.front(); }
    std::size_t size() const { return pids_.size(); }

private:
    void add() {
        int leader = pids_.empty() ? 0 : pids_.front();
        int pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, leader);
            sleepForever();
        }
        if (pid < 0) return;
        // Set from both sides so that the process is in the group once this returns.
        ::setpgid(pid, leader == 0 ? pid : leader);
        pids_.push_back(pid);
    }

    std::vector<int> pids_;
};

void BM_members(benchmark::State& state) {
    SleepingGroup extra(static_cast<int>(state.range(0)));
    SleepingGroup group(groupSize);
    if (group.size() != groupSize || extra.size() != static_cast<std::size_t>(state.range(0))) {
        state.SkipWithError("fork failed");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(members(group.leader(), false, 0));
}

void BM_info(benchmark::State& state) {
    SleepingGroup extra(static_cast<int>(state.range(0)));
    SleepingGroup group(groupSize);
    if (group.size() != groupSize || extra.size() != static_cast<std::size_t>(state.range(0))) {
        state.SkipWithError("fork failed");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(info(group.leader()));
}

// Argument: unrelated sleeping processes added for the run.
BENCHMARK(BM_members)->ArgName("extra")->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_info)->ArgName("extra")->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
