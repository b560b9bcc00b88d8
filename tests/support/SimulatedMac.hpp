// A Mac rooted at a temp directory, for tests of the stand-in and of the
// real binaries: sudo, pmset and launchctl stand-ins, the password-less pmset
// rule, a registry, a home, and sysfs trees for a battery and a thermal zone.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Sets an environment variable for a scope and puts the old value back.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const std::string& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

// A fresh directory, removed with everything in it at the end of the scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& contents);
std::optional<std::string> readFile(const std::string& path);

class SimulatedMac {
  public:
    SimulatedMac();

    const std::string& root() const { return dir_.path(); }
    std::string home() const { return root() + "/Users/ann"; }
    // The file standing for the Mac's absolute `path`.
    std::string at(const std::string& path) const { return root() + path; }
    // Copies the built app to the Mac's absolute `bundle`.
    void installApp(const std::string& built, const std::string& bundle) const;
    // What a program started in this Mac sees: its root, home and PATH, and
    // the sanitizers' options.
    std::vector<std::string> environment() const;

    void setSleepDisabledReading(
        const std::string& plistValue);  // "<true/>", "<integer>0</integer>"
    // Without the rule, sudo -n refuses pmset as it does without a password.
    void setPmsetRule(bool installed);
    void setBattery(int percent, bool discharging);
    void setTemperature(int millidegrees);  // trips: passive 80000, hot 90000, critical 100000

  private:
    TempDir dir_;
};
