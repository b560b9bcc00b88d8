// The least a pass over a power event can cost, for bench/paced_probe.cpp to
// hold the agent against: it wakes on inotify as the agent's run loop does,
// re-reads the battery's five attributes and the thermal zone's temperature,
// and looks at the suite, the bundle's Info.plist and the registry with one
// stat each. It keeps nothing between events and allocates nothing per event.
//   floor_probe <root of a simulated Mac> <home>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t fileChanges =
    IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

void readSmallFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return;
    }
    char buffer[4097];
    [[maybe_unused]] const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: floor_probe <root> <home>\n");
        return 2;
    }
    const std::string root = argv[1], home = argv[2];
    const std::string supplies = root + "/sys/class/power_supply";
    const std::string battery = supplies + "/BAT0/";
    std::vector<std::string> files;
    for (const char* attribute : {"type", "scope", "present", "capacity", "status"}) {
        files.push_back(battery + attribute);
    }
    files.push_back(root + "/sys/class/thermal/thermal_zone0/temp");
    const std::array<std::string, 3> looked = {
        home + "/Library/Preferences/org.vell.app.shared.plist",
        root + "/Applications/Vell.app/Contents/Info.plist",
        root + "/IORegistry/IOPMrootDomain.plist",
    };

    const int inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ::inotify_add_watch(inotify, supplies.c_str(), fileChanges | IN_ONLYDIR);
    ::inotify_add_watch(inotify, battery.c_str(), fileChanges | IN_ONLYDIR);
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event watched{};
    watched.events = EPOLLIN;
    watched.data.fd = inotify;
    if (inotify < 0 || epoll < 0 || ::epoll_ctl(epoll, EPOLL_CTL_ADD, inotify, &watched) != 0) {
        std::perror("floor_probe");
        return 1;
    }
    for (;;) {
        epoll_event ready[4];
        if (::epoll_wait(epoll, ready, 4, -1) <= 0) {
            continue;
        }
        alignas(inotify_event) char events[16384];
        if (::read(inotify, events, sizeof events) <= 0) {
            continue;
        }
        for (const std::string& file : files) {
            readSmallFile(file);
        }
        for (const std::string& path : looked) {
            struct stat status {};
            ::stat(path.c_str(), &status);
        }
    }
}
