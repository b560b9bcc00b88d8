#include "tests/support/SimulatedMac.hpp"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

#ifndef VELL_SIMULATED_MAC_SCRIPTS
#error "VELL_SIMULATED_MAC_SCRIPTS names the folder of the sudo, pmset and launchctl stand-ins"
#endif
#ifndef VELL_PMSET_RULE
#error "VELL_PMSET_RULE names the sudoers file of the password-less pmset rule"
#endif

ScopedEnvironment::ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    if (const char* old = ::getenv(name)) {
        previous_ = old;
    }
    ::setenv(name, value.c_str(), 1);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous_) {
        ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vell-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : "";
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

void writeFile(const std::string& path, const std::string& contents) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

SimulatedMac::SimulatedMac() {
    const fs::path scripts = VELL_SIMULATED_MAC_SCRIPTS;
    fs::create_directories(at("/usr/bin"));
    fs::create_directories(at("/bin"));
    fs::create_directories(home());
    fs::copy_file(scripts / "sudo", at("/usr/bin/sudo"));
    fs::copy_file(scripts / "pmset", at("/usr/bin/pmset"));
    fs::copy_file(scripts / "launchctl", at("/bin/launchctl"));
    setSleepDisabledReading("<false/>");
    // The user is an administrator, whom the packaged rule covers.
    const passwd* user = ::getpwuid(::getuid());
    writeFile(at("/etc/group"),
              std::string("admin:*:80:root,") + (user ? user->pw_name : "") + "\n");
    setPmsetRule(true);
    writeFile(at("/sys/class/thermal/thermal_zone0/trip_point_0_type"), "passive\n");
    writeFile(at("/sys/class/thermal/thermal_zone0/trip_point_0_temp"), "80000\n");
    writeFile(at("/sys/class/thermal/thermal_zone0/trip_point_1_type"), "hot\n");
    writeFile(at("/sys/class/thermal/thermal_zone0/trip_point_1_temp"), "90000\n");
    writeFile(at("/sys/class/thermal/thermal_zone0/trip_point_2_type"), "critical\n");
    writeFile(at("/sys/class/thermal/thermal_zone0/trip_point_2_temp"), "100000\n");
    setTemperature(45000);
    setBattery(80, false);
}

void SimulatedMac::installApp(const std::string& built, const std::string& bundle) const {
    fs::create_directories(fs::path(at(bundle)).parent_path());
    fs::copy(built, at(bundle), fs::copy_options::recursive);
}

std::vector<std::string> SimulatedMac::environment() const {
    const char* path = ::getenv("PATH");
    std::vector<std::string> entries = {"VELL_SYSTEM_ROOT=" + root(), "HOME=" + home(),
                                        std::string("PATH=") + (path ? path : "/usr/bin:/bin")};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (const char* value = ::getenv(name)) {
            entries.push_back(std::string(name) + "=" + value);
        }
    }
    return entries;
}

void SimulatedMac::setSleepDisabledReading(const std::string& plistValue) {
    writeFile(at("/IORegistry/IOPMrootDomain.plist"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
              "<key>SleepDisabled</key>" +
                  plistValue + "\n</dict>\n</plist>\n");
}

void SimulatedMac::setPmsetRule(bool installed) {
    const std::string rule = at("/etc/sudoers.d/vell-pmset");
    fs::remove(rule);
    if (installed) {
        fs::create_directories(at("/etc/sudoers.d"));
        fs::copy_file(VELL_PMSET_RULE, rule);
    }
}

void SimulatedMac::setBattery(int percent, bool discharging) {
    const std::string battery = at("/sys/class/power_supply/BAT0");
    writeFile(battery + "/type", "Battery\n");
    writeFile(battery + "/present", "1\n");
    writeFile(battery + "/capacity", std::to_string(percent) + "\n");
    writeFile(battery + "/status", discharging ? "Discharging\n" : "Charging\n");
}

void SimulatedMac::setTemperature(int millidegrees) {
    writeFile(at("/sys/class/thermal/thermal_zone0/temp"), std::to_string(millidegrees) + "\n");
}
