// The main run loop on Linux: one thread waiting on epoll for a timerfd per
// timer, an eventfd that wakes it for work queued from any thread, and the
// power-source notification's inotify (and, on a real root, netlink) socket,
// and a signalfd for the termination signals, which stay blocked elsewhere.
// Thermal changes are watched by a thread of their own, which posts them as
// the Mac does, from whatever thread it likes. Without the eventfd, queued
// work runs at the loop's next wake-up; without inotify or the thread, the
// timer's passes still read everything afresh; without epoll or a timer the
// loop can't keep its promises, and the process says why and fails.
#include "platform/run_loop.hpp"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/sysfs.hpp"
#include "platform/linux/system_root.hpp"
#include "platform/posix/scoped_fd.hpp"
#include "platform/posix/termination_signals.hpp"
#include "platform/thermal_state.hpp"

namespace platform {
namespace {

using posix::ScopedFd;

// Test hook: VELL_SIMULATED_FAILURES names, comma-separated, the resources
// of the run loop ("epoll", "eventfd", "inotify", "timer", "thread",
// "signalfd") to treat as unobtainable, as when descriptors or threads run
// out. Honoured only in a simulated Mac.
bool simulatedFailure(std::string_view resource) {
    const char* list = std::getenv("VELL_SIMULATED_FAILURES");
    if (list == nullptr || linux_host::systemRoot().empty()) {
        return false;
    }
    for (std::string_view names(list);;) {
        const std::size_t comma = names.find(',');
        if (names.substr(0, comma) == resource) {
            return true;
        }
        if (comma == std::string_view::npos) {
            return false;
        }
        names.remove_prefix(comma + 1);
    }
}

// `fd`, owned, or none with errno EMFILE when the hook names `resource`.
ScopedFd obtained(std::string_view resource, int fd) {
    ScopedFd owned(fd);
    if (simulatedFailure(resource)) {
        owned.reset();
        errno = EMFILE;
    }
    return owned;
}

constexpr std::uint32_t fileChanges =
    IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

// Watches `folder` and every folder directly inside it, or what a symbolic
// link there points to, as sysfs lists devices (only those can be watched
// with IN_ONLYDIR).
void watchTree(int inotify, const std::string& folder) {
    ::inotify_add_watch(inotify, folder.c_str(), fileChanges | IN_ONLYDIR);
    for (const std::string& name : linux_host::sortedEntries(folder)) {
        ::inotify_add_watch(inotify, (folder + "/" + name).c_str(), fileChanges | IN_ONLYDIR);
    }
}

// A change is anything but a file's creation, since its write follows. A
// folder that appears, itself or as a symbolic link to one (as sysfs lists
// devices), is one, and is watched from now on: only a folder, or a link to
// one, can be watched with IN_ONLYDIR.
bool isChange(int inotify, const std::string& folder, const inotify_event& event) {
    if (!(event.mask & (IN_CREATE | IN_MOVED_TO))) {
        return true;
    }
    return ::inotify_add_watch(inotify, (folder + "/" + event.name).c_str(),
                               fileChanges | IN_ONLYDIR) != -1 ||
           event.mask != IN_CREATE;
}

// Reads what inotify has queued and says whether it held a change. What one
// read leaves wakes the reader again.
bool takeChanges(int inotify, const std::string& folder) {
    alignas(inotify_event) char events[4096];
    const ssize_t length = ::read(inotify, events, sizeof events);
    const auto eventAt = [&events](ssize_t at) {
        return reinterpret_cast<const inotify_event*>(events + at);
    };
    bool changed = false;
    for (ssize_t at = 0; at < length; at += sizeof(inotify_event) + eventAt(at)->len) {
        changed = isChange(inotify, folder, *eventAt(at)) || changed;
    }
    return changed;
}

// Calls `handler` for each record read off `fd`: a signalfd's signal, or a
// timerfd's or eventfd's count, which the read sets back to zero.
template <typename Record>
std::function<void()> onEachRecord(int fd, std::function<void()> handler) {
    return [fd, handler = std::move(handler)] {
        Record record;
        if (::read(fd, &record, sizeof record) == sizeof record) {
            handler();
        }
    };
}

// `seconds`, not negative, as a timespec.
timespec timespecOf(double seconds) {
    const double whole = std::floor(seconds);
    return {static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
}

// Says in one line, on standard error (which launchd keeps), why the loop
// can't go on, and fails, so that launchd starts the process again after
// its throttle.
[[noreturn]] void giveUp(const std::string& why) {
    const std::string line =
        std::string(program_invocation_short_name) + ": the run loop can't go on: " + why + "\n";
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    std::exit(EXIT_FAILURE);
}

std::string failed(const char* call) {
    return std::string(call) + ": " + std::strerror(errno);
}

// Watches and waits are not checked: epoll_ctl adds a descriptor of ours
// (one added again stays as it was; without an epoll set the run gives up
// anyway) and fails otherwise only when the kernel is out of memory, and a
// wait on a valid epoll set for one event fails only when a signal
// interrupts it.
// A descriptor leaves the set when it is closed; its handler is never
// called again, and is replaced when another one of that number is watched.
class MainRunLoop {
  public:
    MainRunLoop()
        : epoll_(obtained("epoll", ::epoll_create1(EPOLL_CLOEXEC))),
          wake_(obtained("eventfd", ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))) {
        if (!epoll_.valid()) {
            fail(failed("epoll_create1"));
        }
        // Without the eventfd, work queued from other threads runs at the
        // next wake-up of the loop instead.
        if (wake_.valid()) {
            watch(wake_.get(),
                  onEachRecord<std::uint64_t>(wake_.get(), [this] { runQueuedWork(); }));
        }
    }

    void watch(int fd, std::function<void()> onReadable) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event);
        handlers_[fd] = std::move(onReadable);
    }

    // Watches `fd` for as long as the process lives, calling `handler` for
    // each record read off it.
    template <typename Record>
    void keep(ScopedFd fd, std::function<void()> handler) {
        watch(fd.get(), onEachRecord<Record>(fd.get(), std::move(handler)));
        kept_.push_back(std::move(fd));
    }

    // Remembers the first reason the loop can't keep its promises; run()
    // gives up with it.
    void fail(std::string why) {
        if (failure_.empty()) {
            failure_ = std::move(why);
        }
    }

    // Never blocks: the eventfd is non-blocking, and a counter that is
    // already non-zero wakes the loop all the same. Without the eventfd the
    // write fails, and the work waits for the next wake-up.
    void post(std::function<void()> work) {
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            queue_.push_back(std::move(work));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wake_.get(), &one, sizeof one);
    }

    [[noreturn]] void run() {
        if (!failure_.empty()) {
            giveUp(failure_);
        }
        for (;;) {
            epoll_event event;
            const bool ready = ::epoll_wait(epoll_.get(), &event, 1, -1) == 1;
            if (!wake_.valid()) {
                runQueuedWork();
            }
            if (ready) {
                // A copy: the handler may watch another descriptor of its number.
                const auto handler = handlers_.at(event.data.fd);
                handler();
            }
        }
    }

  private:
    void runQueuedWork() {
        for (;;) {
            std::function<void()> work;
            {
                std::lock_guard<std::mutex> lock(queueMutex_);
                if (queue_.empty()) {
                    return;
                }
                work = std::move(queue_.front());
                queue_.pop_front();
            }
            work();
        }
    }

    ScopedFd epoll_;
    ScopedFd wake_;
    std::map<int, std::function<void()>> handlers_;
    std::vector<ScopedFd> kept_;  // the timers and the signalfd
    std::mutex queueMutex_;
    std::deque<std::function<void()>> queue_;
    std::string failure_;
};

// Made once and never destroyed: the thermal thread may post to it while
// the process exits.
MainRunLoop& mainRunLoop() {
    static MainRunLoop* loop = new MainRunLoop;
    return *loop;
}

class PowerSourceNotification : public RunLoopSource {
  public:
    PowerSourceNotification(RunLoopCallback callback, void* context)
        : callback_(callback),
          context_(context),
          folder_(linux_host::rootedPath("/sys/class/power_supply")),
          inotify_(obtained("inotify", ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK))) {
        if (inotify_.valid()) {
            watchTree(inotify_.get(), folder_);
        }
        // The kernel announces real power-supply changes only by uevent.
        if (linux_host::systemRoot().empty()) {
            joinUevents();
        }
    }

    bool valid() const { return inotify_.valid(); }

    // Added again, it is watched once: the handlers are the same.
    void addTo(MainRunLoop& loop) {
        // The changes of one read are one change, and one pass.
        loop.watch(inotify_.get(), [this] {
            if (takeChanges(inotify_.get(), folder_)) {
                callback_(context_);
            }
        });
        // Any device's uevent is one change; the read takes one, cut short.
        if (uevents_.valid()) {
            loop.watch(uevents_.get(),
                       onEachRecord<char>(uevents_.get(), [this] { callback_(context_); }));
        }
    }

  private:
    // A socket that can't join the group hears nothing; the timer's passes
    // still read everything.
    void joinUevents() {
        uevents_.reset(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                NETLINK_KOBJECT_UEVENT));
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = 1;
        ::bind(uevents_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }

    RunLoopCallback callback_;
    void* context_;
    std::string folder_;
    ScopedFd inotify_;
    ScopedFd uevents_;
};

// Real thermal zones announce nothing, so on a real root the watcher also
// looks every few seconds; in a simulated Mac, inotify says it all.
constexpr int realRootThermalPollMilliseconds = 5000;

// Runs on a thread of its own and posts `handler` there whenever the state
// differs from the last one seen, starting from `last`. A failed poll was
// interrupted: it looks again.
void watchThermalState(std::function<void()> handler,
                       ScopedFd inotify,
                       std::string folder,
                       ThermalState last) {
    const bool realRoot = linux_host::systemRoot().empty();
    if (!inotify.valid() && !realRoot) {
        return;
    }
    const int timeout = realRoot ? realRootThermalPollMilliseconds : -1;
    for (;;) {
        // Without inotify (-1), poll only waits.
        pollfd wait{inotify.get(), POLLIN, {}};
        if (::poll(&wait, 1, timeout) == 1) {
            takeChanges(inotify.get(), folder);
        }
        const ThermalState now = currentThermalState();
        if (std::exchange(last, now) != now) {
            handler();
        }
    }
}

}  // namespace

std::unique_ptr<RunLoopSource> createPowerSourceNotificationSource(RunLoopCallback callback,
                                                                   void* context) {
    auto source = std::make_unique<PowerSourceNotification>(callback, context);
    if (!source->valid()) {
        return nullptr;
    }
    return source;
}

void addSourceToCurrentRunLoop(RunLoopSource& source) {
    if (auto* power = dynamic_cast<PowerSourceNotification*>(&source)) {
        power->addTo(mainRunLoop());
    }
}

void observeThermalStateChanges(std::function<void()> handler) {
    // Watched and read before this returns, so that every change from now
    // on is seen; only the waiting happens on the watcher's thread.
    std::string folder = linux_host::rootedPath("/sys/class/thermal");
    ScopedFd inotify = obtained("inotify", ::inotify_init1(IN_CLOEXEC));
    if (inotify.valid()) {
        watchTree(inotify.get(), folder);
    }
    const ThermalState now = currentThermalState();
    // Without the watcher, every pass of the timer still reads the state.
    // Its thread never takes a termination signal: they are the main run loop's.
    const sigset_t termination = posix::terminationSignals();
    sigset_t previous;
    ::pthread_sigmask(SIG_BLOCK, &termination, &previous);
    try {
        if (simulatedFailure("thread")) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        std::thread(watchThermalState, std::move(handler), std::move(inotify), std::move(folder),
                    now)
            .detach();
    } catch (const std::system_error&) {
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void performOnMainThread(std::function<void()> work) {
    mainRunLoop().post(std::move(work));
}

// A timer that can't be had is a schedule the loop can't keep: the run
// gives up rather than wait for events that may never come. Setting it
// fails only for times out of range, which timespecOf makes none of.
void scheduleRepeatingTimer(double intervalSeconds, std::function<void()> tick) {
    ScopedFd timer =
        obtained("timer", ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!timer.valid()) {
        std::string why = failed("timerfd_create");
        mainRunLoop().fail(std::move(why));
        return;
    }
    const timespec period = timespecOf(std::max(intervalSeconds, 0.001));
    const itimerspec schedule{period, period};
    ::timerfd_settime(timer.get(), 0, &schedule, nullptr);
    mainRunLoop().keep<std::uint64_t>(std::move(timer), std::move(tick));
}

// Blocked on every thread, so that only the signalfd sees them; the
// programs the agent starts get them unblocked (see runChild).
void observeTerminationSignals(std::function<void()> handler) {
    const sigset_t signals = posix::terminationSignals();
    ScopedFd fd = obtained("signalfd", ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd.valid()) {
        return;
    }
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    mainRunLoop().keep<signalfd_siginfo>(std::move(fd), std::move(handler));
}

namespace {

// A timerfd on the wall clock, set to an absolute moment: a clock set
// forward or back moves the moment with it.
class TimerfdDeadline : public DeadlineTimer {
  public:
    explicit TimerfdDeadline(std::function<void()> fire)
        : timer_(obtained("timer", ::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK))) {
        if (timer_.valid()) {
            mainRunLoop().watch(timer_.get(),
                                onEachRecord<std::uint64_t>(timer_.get(), std::move(fire)));
        }
    }

    bool valid() const { return timer_.valid(); }

    // A moment long past fires at once; the earliest is a second after the
    // epoch, since a moment of zero would disarm the timer instead.
    void fireAt(double calendarSeconds) override {
        constexpr double referenceDateInUnixTime = 978307200.0;
        set(timespecOf(std::max(calendarSeconds + referenceDateInUnixTime, 1.0)));
    }

    void cancel() override { set(timespec{}); }

  private:
    void set(timespec moment) {
        const itimerspec schedule{timespec{}, moment};
        ::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &schedule, nullptr);
    }

    ScopedFd timer_;
};

}  // namespace

std::unique_ptr<DeadlineTimer> createDeadlineTimer(std::function<void()> fire) {
    auto timer = std::make_unique<TimerfdDeadline>(std::move(fire));
    if (!timer->valid()) {
        return nullptr;
    }
    return timer;
}

void runCurrentRunLoop() {
    mainRunLoop().run();
}

}  // namespace platform
