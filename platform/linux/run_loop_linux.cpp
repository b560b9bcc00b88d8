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

// `fd`, or -1 with errno EMFILE when the hook names `resource`.
int obtained(std::string_view resource, int fd) {
    if (fd >= 0 && simulatedFailure(resource)) {
        ::close(fd);
        errno = EMFILE;
        return -1;
    }
    return fd;
}

constexpr std::uint32_t fileChanges =
    IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

// Watches `folder` and every folder directly inside it.
void watchTree(int inotify, const std::string& folder) {
    ::inotify_add_watch(inotify, folder.c_str(), fileChanges | IN_ONLYDIR);
    for (const std::string& name : linux_host::sortedEntries(folder)) {
        ::inotify_add_watch(inotify, (folder + "/" + name).c_str(), fileChanges | IN_ONLYDIR);
    }
}

// A change is a completed write, a move into place, a removal, a folder
// appearing or going, or events lost; a file's creation is not one, since
// its write follows.
bool isChange(const inotify_event& event) {
    constexpr std::uint32_t changes =
        IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_Q_OVERFLOW;
    return (event.mask & changes) != 0 ||
           (event.mask & (IN_CREATE | IN_ISDIR)) == (IN_CREATE | IN_ISDIR);
}

// A folder that appears inside `folder`, itself or as a symbolic link to one
// (as sysfs lists devices), is watched from now on; true when one did.
bool watchAppearingFolder(int inotify, const std::string& folder, const inotify_event& event) {
    const bool created = (event.mask & IN_CREATE) != 0;
    const bool folderMovedIn = (event.mask & (IN_MOVED_TO | IN_ISDIR)) == (IN_MOVED_TO | IN_ISDIR);
    if (event.len == 0 || (!created && !folderMovedIn)) {
        return false;
    }
    // Only a folder, or a link to one, can be watched with IN_ONLYDIR.
    return ::inotify_add_watch(inotify, (folder + "/" + event.name).c_str(),
                               fileChanges | IN_ONLYDIR) >= 0;
}

// Reads what inotify has and says whether it reported a change; new folders
// inside `folder` are watched from now on.
bool takeChanges(int inotify, const std::string& folder) {
    alignas(inotify_event) char buffer[16384];
    const ssize_t length = ::read(inotify, buffer, sizeof buffer);
    if (length <= 0) {
        return false;
    }
    bool changed = false;
    for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        const bool appeared = watchAppearingFolder(inotify, folder, *event);
        changed = changed || appeared || isChange(*event);
    }
    return changed;
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

class MainRunLoop {
  public:
    MainRunLoop() : epoll_(obtained("epoll", ::epoll_create1(EPOLL_CLOEXEC))) {
        if (!epoll_.valid()) {
            fail(failed("epoll_create1"));
        }
        wake_.reset(obtained("eventfd", ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)));
        // Without the eventfd, work queued from other threads runs at the
        // next wake-up of the loop instead.
        if (wake_.valid()) {
            watch(wake_.get(), [this] { runQueuedWork(); });
        }
    }

    bool watch(int fd, std::function<void()> onReadable) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
            return false;
        }
        handlers_[fd] = std::move(onReadable);
        return true;
    }

    void unwatch(int fd) {
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
        handlers_.erase(fd);
    }

    // Reads each signal off the signalfd, then calls `handler`.
    bool addSignals(ScopedFd signals, std::function<void()> handler) {
        const int fd = signals.get();
        const bool watched = watch(fd, [fd, handler = std::move(handler)] {
            signalfd_siginfo signal{};
            if (::read(fd, &signal, sizeof signal) == sizeof signal) {
                handler();
            }
        });
        if (watched) {
            timers_.push_back(std::move(signals));
        }
        return watched;
    }

    void addTimer(ScopedFd timer, std::function<void()> tick) {
        const int fd = timer.get();
        const bool watched = watch(fd, [fd, tick = std::move(tick)] {
            std::uint64_t expirations = 0;
            if (::read(fd, &expirations, sizeof expirations) == sizeof expirations) {
                tick();
            }
        });
        if (!watched) {
            fail(failed("epoll_ctl"));
            return;
        }
        timers_.push_back(std::move(timer));
    }

    // Remembers the first reason the loop can't keep its promises; run()
    // gives up with it.
    void fail(std::string why) {
        if (failure_.empty()) {
            failure_ = std::move(why);
        }
    }

    // Never blocks: the eventfd is non-blocking, and a counter that is
    // already non-zero wakes the loop all the same.
    void post(std::function<void()> work) {
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            queue_.push_back(std::move(work));
        }
        const std::uint64_t one = 1;
        if (wake_.valid()) {
            [[maybe_unused]] const ssize_t ignored = ::write(wake_.get(), &one, sizeof one);
        }
    }

    [[noreturn]] void run() {
        if (!failure_.empty()) {
            giveUp(failure_);
        }
        for (;;) {
            epoll_event events[16];
            const int ready = ::epoll_wait(epoll_.get(), events, 16, -1);
            if (ready < 0 && errno != EINTR) {
                giveUp(failed("epoll_wait"));
            }
            if (!wake_.valid()) {
                runQueuedWork();
            }
            for (int i = 0; i < ready; ++i) {
                const auto handler = handlers_.find(events[i].data.fd);
                if (handler != handlers_.end()) {
                    auto call = handler->second;
                    call();
                }
            }
        }
    }

  private:
    void runQueuedWork() {
        std::uint64_t count = 0;
        if (wake_.valid()) {
            [[maybe_unused]] const ssize_t ignored = ::read(wake_.get(), &count, sizeof count);
        }
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
    std::vector<ScopedFd> timers_;  // and the signalfd
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
            openUevents();
        }
    }

    ~PowerSourceNotification() override {
        if (added_) {
            mainRunLoop().unwatch(inotify_.get());
            if (uevents_.valid()) {
                mainRunLoop().unwatch(uevents_.get());
            }
        }
    }

    bool valid() const { return inotify_.valid(); }

    void addTo(MainRunLoop& loop) {
        if (added_) {
            return;
        }
        added_ = true;
        // The events of one read are one change, and one pass.
        loop.watch(inotify_.get(), [this] {
            if (takeChanges(inotify_.get(), folder_)) {
                callback_(context_);
            }
        });
        if (uevents_.valid()) {
            loop.watch(uevents_.get(), [this] { takeUevent(); });
        }
    }

  private:
    void openUevents() {
        uevents_.reset(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                NETLINK_KOBJECT_UEVENT));
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = 1;
        if (uevents_.valid() &&
            ::bind(uevents_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            uevents_.reset();
        }
    }

    void takeUevent() {
        char message[8192];
        const ssize_t length = ::recv(uevents_.get(), message, sizeof message, 0);
        if (length <= 0) {
            return;
        }
        // A uevent is NUL-separated KEY=value lines.
        const std::string_view text(message, static_cast<std::size_t>(length));
        if (text.find("SUBSYSTEM=power_supply") != std::string_view::npos) {
            callback_(context_);
        }
    }

    RunLoopCallback callback_;
    void* context_;
    std::string folder_;
    ScopedFd inotify_;
    ScopedFd uevents_;
    bool added_ = false;
};

// Real thermal zones announce nothing, so on a real root the watcher also
// looks every few seconds; in a simulated Mac, inotify says it all.
constexpr int realRootThermalPollMilliseconds = 5000;

// Runs on a thread of its own and posts `handler` there whenever the state
// differs from the last one seen, starting from `last`.
void watchThermalState(std::function<void()> handler,
                       ScopedFd inotify,
                       std::string folder,
                       ThermalState last) {
    const int timeout = linux_host::systemRoot().empty() ? realRootThermalPollMilliseconds : -1;
    if (!inotify.valid() && timeout < 0) {
        return;
    }
    for (;;) {
        pollfd wait{inotify.get(), POLLIN, 0};
        const int ready = ::poll(&wait, inotify.valid() ? 1 : 0, timeout);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (ready > 0) {
            takeChanges(inotify.get(), folder);
        }
        const ThermalState now = currentThermalState();
        if (now != last) {
            last = now;
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
    ScopedFd inotify(obtained("inotify", ::inotify_init1(IN_CLOEXEC)));
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
// gives up rather than wait for events that may never come.
void scheduleRepeatingTimer(double intervalSeconds, std::function<void()> tick) {
    ScopedFd timer(
        obtained("timer", ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)));
    if (!timer.valid()) {
        std::string why = failed("timerfd_create");
        mainRunLoop().fail(std::move(why));
        return;
    }
    const double interval = std::max(intervalSeconds, 0.001);
    const double whole = std::floor(interval);
    timespec period{static_cast<time_t>(whole), static_cast<long>((interval - whole) * 1e9)};
    itimerspec schedule{period, period};
    if (::timerfd_settime(timer.get(), 0, &schedule, nullptr) != 0) {
        std::string why = failed("timerfd_settime");
        mainRunLoop().fail(std::move(why));
        return;
    }
    mainRunLoop().addTimer(std::move(timer), std::move(tick));
}

// Blocked on every thread, so that only the signalfd sees them; the
// programs the agent starts get them unblocked (see runChild).
void observeTerminationSignals(std::function<void()> handler) {
    const sigset_t signals = posix::terminationSignals();
    ScopedFd fd(obtained("signalfd", ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK)));
    if (!fd.valid()) {
        return;
    }
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (!mainRunLoop().addSignals(std::move(fd), std::move(handler))) {
        ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    }
}

namespace {

// A timerfd on the wall clock, set to an absolute moment: a clock set
// forward or back moves the moment with it.
class TimerfdDeadline : public DeadlineTimer {
  public:
    explicit TimerfdDeadline(std::function<void()> fire)
        : timer_(obtained("timer", ::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK))) {
        if (timer_.valid()) {
            watched_ = mainRunLoop().watch(timer_.get(), [this, fire = std::move(fire)] {
                std::uint64_t expirations = 0;
                if (::read(timer_.get(), &expirations, sizeof expirations) == sizeof expirations) {
                    fire();
                }
            });
        }
    }
    ~TimerfdDeadline() override {
        if (watched_) {
            mainRunLoop().unwatch(timer_.get());
        }
    }

    bool valid() const { return watched_; }

    void fireAt(double calendarSeconds) override {
        constexpr double referenceDateInUnixTime = 978307200.0;
        const double unixTime = std::max(calendarSeconds + referenceDateInUnixTime, 0.0);
        const double whole = std::floor(unixTime);
        // A zero moment would disarm the timer instead: the earliest is 1 ns.
        timespec moment{static_cast<time_t>(whole), static_cast<long>((unixTime - whole) * 1e9)};
        if (moment.tv_sec == 0 && moment.tv_nsec == 0) {
            moment.tv_nsec = 1;
        }
        set(moment, TFD_TIMER_ABSTIME);
    }

    void cancel() override { set(timespec{}, 0); }

  private:
    void set(timespec moment, int flags) {
        const itimerspec schedule{timespec{}, moment};
        ::timerfd_settime(timer_.get(), flags, &schedule, nullptr);
    }

    ScopedFd timer_;
    bool watched_ = false;
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
