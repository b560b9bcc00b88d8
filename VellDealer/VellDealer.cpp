#include "VellDealer/VellDealer.hpp"

#include "VellDealer/ExecutablePath.hpp"
#include "VellShared/Holds.hpp"
#include "VellShared/PowerTool.hpp"
#include "VellShared/Preferences.hpp"
#include "VellShared/PropertyListReads.hpp"
#include "VellShared/SafetyCutoff.hpp"
#include "platform/clock.hpp"
#include "platform/files.hpp"
#include "platform/launchd.hpp"
#include "platform/this_process.hpp"

namespace {

constexpr double timerInterval = 15.0;
constexpr std::int64_t missesBeforeRemoval = 2;

std::optional<std::string> bundlePathOfThisAgent() {
    const std::optional<std::string> executable = readOwnExecutablePath();
    if (!executable) {
        return std::nullopt;
    }
    return appBundlePath(*executable);
}

}  // namespace

VellDealer::VellDealer() : VellDealer(bundlePathOfThisAgent()) {}

VellDealer::VellDealer(std::optional<std::string> launchAppPath)
    : launchAppPath(std::move(launchAppPath)) {}

void VellDealer::run() {
    // Taken before the first pass, which may run programs for seconds: a stop
    // asked for meanwhile waits for the pass instead of ending it half done.
    platform::observeTerminationSignals([this] { stop(); });
    reconcile();
    powerSource =
        platform::createPowerSourceNotificationSource(&VellDealer::powerSourceChanged, this);
    if (powerSource) {
        platform::addSourceToCurrentRunLoop(*powerSource);
    }
    platform::observeThermalStateChanges([this] { thermalStateChanged(); });
    platform::scheduleRepeatingTimer(timerInterval, [this] { poll(); });
    deadlineTimer = platform::createDeadlineTimer([this] { poll(); });
    armDeadline(VellPreferences::wantedUntil());
    platform::runCurrentRunLoop();
}

void VellDealer::poll() {
    reconcile();
}

void VellDealer::thermalStateChanged() {
    // The change may be posted on any thread; passes run on the main thread only.
    platform::performOnMainThread([this] { poll(); });
}

void VellDealer::powerSourceChanged(void* context) {
    if (context == nullptr) {
        return;
    }
    static_cast<VellDealer*>(context)->reconcile();
}

bool VellDealer::appIsInstalled(const std::optional<std::string>& path) const {
    if (!path || path->empty() || isInTrash(*path)) {
        return false;
    }
    const auto infoPlist =
        platform::readDictionaryFile(appendingPathComponent(*path, "Contents/Info.plist"));
    if (!infoPlist) {
        return false;
    }
    return readString(*infoPlist, "CFBundleIdentifier") == appBundleIdentifier;
}

void VellDealer::reconcile() {
    switch (watchInstallation()) {
        case WatchOutcome::runPolicy:
            settleWish();
            applyPolicy();
            return;
        case WatchOutcome::removeSelf:
            removeSelf();
            return;
    }
}

VellDealer::WatchOutcome VellDealer::watchInstallation() {
    if (appIsInstalled(launchAppPath)) {
        missingChecks = 0;
        return WatchOutcome::runPolicy;
    }
    const std::optional<std::string> ownPath = readOwnExecutablePath();
    // Moved to the Trash: the user means it, so there is nothing to wait for.
    if (ownPath && isInTrash(*ownPath)) {
        return WatchOutcome::removeSelf;
    }
    // The agent still exists outside the app it came with (during an update,
    // say): carry on as usual.
    if (ownPath && platform::fileExists(*ownPath)) {
        missingChecks = 0;
        return WatchOutcome::runPolicy;
    }
    // Gone, or the path can't be read: one miss is tolerated, the second removes.
    missingChecks += 1;
    if (missingChecks < missesBeforeRemoval) {
        return WatchOutcome::runPolicy;
    }
    return WatchOutcome::removeSelf;
}

void VellDealer::removeSelf() {
    // Restore normal sleep before leaving: nobody would turn the override off later.
    if (VellPreferences::wanted() || VellPreferences::ownsOverride()) {
        VellPreferences::setWanted(false);
        if (PowerTool::setSleepDisabled(false)) {
            // Stay registered; a later pass retries while the override is still owned.
            return;
        }
        VellPreferences::setOwnsOverride(false);
    }
    VellPreferences::store()->synchronize();

    if (!platform::unregisterAgentService(std::string(agentLabel) + ".plist")) {
        platform::exitProcess(0);
        return;
    }
    // The service manager refused: ask launchd directly to drop the job.
    const std::string target =
        "gui/" + std::to_string(platform::userId()) + "/" + std::string(agentLabel);
    PowerTool::run("/bin/launchctl", {"bootout", target});
    platform::exitProcess(0);
}

// Asked to end from outside (logout, launchctl bootout): leave no override on
// with nothing guarding it. The wish and the ownership stay, so that the next
// start turns the override on again.
void VellDealer::stop() {
    // Not ours, unreadable or already off: nothing to restore.
    if (VellPreferences::ownsOverride() && PowerTool::sleepDisabled() == true) {
        // A failed turn-off ends the process all the same: it is being
        // stopped, and launchd would kill a process that stayed to retry.
        PowerTool::setSleepDisabled(false);
    }
    VellPreferences::store()->synchronize();
    platform::exitProcess(0);
}

// Before the policy reads the wish: a timed wish whose end has come is
// withdrawn, and holds of runs that are gone are dropped, and with the last
// one a wish that stood only for them, even when none is recorded (the last
// run killed between the writes of its release). Without a deadline, a hold
// or a wish for holds in the suite this only reads.
void VellDealer::settleWish() {
    const std::optional<double> until = VellPreferences::wantedUntil();
    armDeadline(until);
    const bool due = until && *until <= platform::calendarSeconds();
    if (!due && !Holds::recorded() && !VellPreferences::wantedForHolds()) {
        return;
    }
    const auto lock = Holds::lock();
    const std::size_t runs = Holds::release(std::nullopt);
    // A turn-off begun before a run raised the wish gave up the ownership
    // the run had granted: the runs still going own it again.
    if (runs > 0 && VellPreferences::wanted() && !VellPreferences::ownsOverride()) {
        VellPreferences::setOwnsOverride(true);
    }
    // Read again under the lock: vell may have set another end meanwhile.
    const std::optional<double> end = VellPreferences::wantedUntil();
    if (!end || *end > platform::calendarSeconds()) {
        return;
    }
    armDeadline(std::nullopt);
    // Runs still going keep the Mac awake until the last one ends.
    if (runs > 0) {
        VellPreferences::setWantedForHolds(true);
        VellPreferences::setWantedUntil(std::nullopt);
        return;
    }
    // The time is up: withdrawn as the user's own off withdraws it.
    VellPreferences::setWanted(false);
    VellPreferences::setWantedUntil(std::nullopt);
}

void VellDealer::armDeadline(const std::optional<double>& until) {
    if (!deadlineTimer) {
        return;
    }
    if (until) {
        deadlineTimer->fireAt(*until);
    } else {
        deadlineTimer->cancel();
    }
}

void VellDealer::applyPolicy() {
    const bool wanted = VellPreferences::wanted();
    const bool owned = VellPreferences::ownsOverride();
    // The agent neither turns on nor turns off an override that it does not own.
    if (!owned) {
        return;
    }
    if (wanted) {
        const std::optional<std::string> reason = SafetyCutoff::currentReason();
        if (!reason) {
            keepOn();
            return;
        }
        // Unsafe to go on: say why, withdraw the wish, then turn off below.
        VellPreferences::setCutoffReason(reason);
        VellPreferences::setWanted(false);
    }
    turnOff();
}

void VellDealer::keepOn() {
    // Unreadable: change nothing. Already on: nothing to do.
    if (PowerTool::sleepDisabled() != false) {
        return;
    }
    // A failed turn-on is retried by the next pass.
    PowerTool::setSleepDisabled(true);
    if (VellPreferences::wanted()) {
        return;
    }
    // The wish was withdrawn while the override was being turned on.
    if (!PowerTool::setSleepDisabled(false)) {
        return;
    }
    // The undo failed: keep ownership so that the next pass turns it off.
    VellPreferences::setOwnsOverride(true);
}

void VellDealer::turnOff() {
    const std::optional<bool> state = PowerTool::sleepDisabled();
    // Unreadable: leave ownership with the agent and try again next pass.
    if (!state) {
        return;
    }
    // Still on and the turn-off failed: ownership stays for the retry.
    if (*state && PowerTool::setSleepDisabled(false)) {
        return;
    }
    VellPreferences::setOwnsOverride(false);
}
