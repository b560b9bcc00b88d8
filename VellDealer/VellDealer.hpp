// The agent: keeps the sleep override as its user asked, within safety
// limits, and removes itself once its app is gone.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/run_loop.hpp"

inline constexpr const char* appBundleIdentifier = "org.vell.app";
inline constexpr const char* agentLabel = "org.vell.app.dealer";

class VellDealer {
  public:
    // Finds the app bundle three components above the running executable.
    VellDealer();
    // An agent that takes `launchAppPath` as its app bundle.
    explicit VellDealer(std::optional<std::string> launchAppPath);

    VellDealer(const VellDealer&) = delete;
    VellDealer& operator=(const VellDealer&) = delete;

    // Takes the termination signals, runs one pass, installs the event
    // sources, then runs the run loop.
    void run();
    // One pass, for the timer and for forwarded thermal changes.
    void poll();
    // Forwards a thermal-state change to the main thread without waiting.
    void thermalStateChanged();

  private:
    friend struct VellDealerTesting;

    enum class WatchOutcome { runPolicy, removeSelf };

    static void powerSourceChanged(void* context);

    bool appIsInstalled(const std::optional<std::string>& path) const;
    void reconcile();
    WatchOutcome watchInstallation();
    void removeSelf();
    void stop();
    void settleWish();
    void armDeadline(const std::optional<double>& until);
    void applyPolicy();
    void keepOn();
    void turnOff();

    std::unique_ptr<platform::RunLoopSource> powerSource;
    std::int64_t missingChecks = 0;
    std::optional<std::string> launchAppPath;
    // Fires a pass when a timed wish ends; absent until run() makes it, or
    // when the platform gives none (then the 15-second timer's passes end
    // the wish).
    std::unique_ptr<platform::DeadlineTimer> deadlineTimer;
};
