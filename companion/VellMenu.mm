// Vell.app's main executable: a menu-bar app over the companion model. Its
// status item shows the override, and its tooltip the time a timed wish has
// left; its menu shows and changes the wish (for a time or until turned off),
// the low-battery cutoff and its threshold, the agent's registration and
// whether Vell opens at login, and offers to set up password-less pmset while
// that is missing. It posts a notification when the agent stops on its own:
// a cutoff, a timed wish ended, an override no longer readable.
//
// Every call into the companion runs on one serial queue, since some of them
// run programs (launchctl, sudo, the administrator prompt) or wait. The main
// thread only shows what the queue publishes: the menu opens at once with
// what is known and fills in as the readings arrive.
//
// `VellMenu --self-test` builds the status item and the menu, fills them with
// one full reading, checks them and prints one line; exit status 0 when they
// hold, 1 otherwise. It registers nothing and shows no alert. With
// `--await-change` it then waits for another process to change the wish,
// counted only when key-value observing reports it, and prints a second line
// with what the menu shows after it; a notification that change would have
// raised fails it, since another process's change is the user's own.
#import <AppKit/AppKit.h>
#include <unistd.h>

#include "platform/macos/service_management.h"

#if __has_include(<UserNotifications/UserNotifications.h>)
#import <UserNotifications/UserNotifications.h>
#else
// Header sets without UserNotifications: just the members used here, as the
// macOS 10.14 and 11 SDKs declare them.
typedef NS_OPTIONS(NSUInteger, UNAuthorizationOptions) {
    UNAuthorizationOptionAlert = (1 << 2),
};
typedef NS_OPTIONS(NSUInteger, UNNotificationPresentationOptions) {
    UNNotificationPresentationOptionList = (1 << 3),
    UNNotificationPresentationOptionBanner = (1 << 4),
};
@class UNNotification, UNNotificationResponse, UNNotificationTrigger, UNUserNotificationCenter;
@protocol UNUserNotificationCenterDelegate <NSObject>
@optional
- (void)userNotificationCenter:(UNUserNotificationCenter*)center
       willPresentNotification:(UNNotification*)notification
         withCompletionHandler:(void (^)(UNNotificationPresentationOptions))completionHandler;
- (void)userNotificationCenter:(UNUserNotificationCenter*)center
    didReceiveNotificationResponse:(UNNotificationResponse*)response
             withCompletionHandler:(void (^)(void))completionHandler;
@end
@interface UNMutableNotificationContent : NSObject
@property(copy) NSString* title;
@property(copy) NSString* body;
@end
@interface UNNotificationRequest : NSObject
+ (instancetype)requestWithIdentifier:(NSString*)identifier
                              content:(UNMutableNotificationContent*)content
                              trigger:(UNNotificationTrigger*)trigger;
@end
@interface UNUserNotificationCenter : NSObject
@property(weak) id<UNUserNotificationCenterDelegate> delegate;
+ (UNUserNotificationCenter*)currentNotificationCenter;
- (void)requestAuthorizationWithOptions:(UNAuthorizationOptions)options
                      completionHandler:(void (^)(BOOL granted, NSError* error))completionHandler;
- (void)addNotificationRequest:(UNNotificationRequest*)request
         withCompletionHandler:(void (^)(NSError* error))completionHandler;
@end
#endif

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "VellCompanion/Companion.hpp"
#include "VellCompanion/Notices.hpp"
#include "VellCompanion/StateText.hpp"
#include "VellShared/Preferences.hpp"

namespace {

using VellCompanion::Notice;

// While the menu is closed, no more often than the agent itself looks: the
// settings arrive by key-value observing, so this only catches the battery
// and an override changed outside Vell.
constexpr NSTimeInterval closedInterval = 15.0;
// While the menu is open, its battery and thermal lines and the time left
// follow closely.
constexpr NSTimeInterval openInterval = 2.0;
// After the settings change the agent acts within moments: the override is
// read again this often until it agrees with the wish or the reads run out.
constexpr NSTimeInterval followInterval = 1.0;
constexpr int followReads = 10;
// The self-test's wait for its full reading, which runs launchctl and sudo,
// and for another process's change, within two closed-menu timer periods.
constexpr NSTimeInterval selfTestAllowance = 60.0;
constexpr NSTimeInterval awaitChangeAllowance = 30.0;

NSString* const launchedBeforeKey = @"launchedBefore";
NSString* const selfTestArgument = @"--self-test";
NSString* const awaitChangeArgument = @"--await-change";

enum class SelfTest { off, once, untilChange };

NSString* const keepAwakeTitle = @"Keep Mac Awake";
// The keep-awake submenu: a wish for so many seconds, or without an end.
constexpr struct {
    const char* title;
    double seconds;
} keepAwakeTimes[] = {{"For 1 Hour", 3600}, {"For 3 Hours", 3 * 3600}, {"For 8 Hours", 8 * 3600}};
NSString* const untilTurnedOffTitle = @"Until Turned Off";
NSString* const keepAwakeOffTitle = @"Off";
NSString* const lowBatteryCutoffTitle = @"Turn Off at Low Battery";
// The low-battery submenu: thresholds in percent, then the cutoff off.
constexpr std::int64_t offeredThresholds[] = {10, 20, 30, 50};
NSString* const lowBatteryNeverTitle = @"Never";
// Ticked, the agent runs now and at every login; unticked, it stops.
NSString* const agentTitle = @"Run Agent in Background";
NSString* const openAtLoginTitle = @"Open Vell at Login";
NSString* const setUpPmsetTitle = @"Set Up Password-less pmset…";
NSString* const quitTitle = @"Quit Vell";

NSString* ns(const std::string& text) {
    return [[NSString alloc] initWithBytes:text.data()
                                    length:text.size()
                                  encoding:NSUTF8StringEncoding]
               ?: @"";
}

NSString* percentTitle(std::int64_t percent) {
    return [NSString stringWithFormat:@"%lld %%", static_cast<long long>(percent)];
}

bool isOffered(std::int64_t threshold) {
    for (const std::int64_t offered : offeredThresholds) {
        if (offered == threshold) {
            return true;
        }
    }
    return false;
}

// With the submenu closed to the user, the title says what the profile set.
NSString* lowBatteryCutoffShown(const VellCompanion::State& state) {
    if (!state.lowBatteryCutoffManaged) {
        return lowBatteryCutoffTitle;
    }
    NSString* note = ns(std::string(" (") + VellCompanion::managedSettingNote + ")");
    if (!state.lowBatteryCutoff) {
        return [lowBatteryCutoffTitle stringByAppendingString:note];
    }
    return [NSString stringWithFormat:@"Turn Off at %@ Battery%@",
                                      percentTitle(state.lowBatteryThreshold), note];
}

NSControlStateValue checked(bool on) {
    return on ? NSControlStateValueOn : NSControlStateValueOff;
}

NSString* symbolName(const std::optional<bool>& sleepDisabled) {
    if (!sleepDisabled) {
        return @"exclamationmark.triangle";
    }
    return *sleepDisabled ? @"cup.and.saucer.fill" : @"cup.and.saucer";
}

// The status item's tooltip: the override, or the time a timed wish has left.
NSString* toolTip(const VellCompanion::State& state, const std::optional<double>& secondsLeft) {
    if (!state.sleepDisabled) {
        return @"Vell can't read the sleep override";
    }
    if (secondsLeft) {
        return ns("Vell: keep-awake ends in " + VellCompanion::describeTimeLeft(*secondsLeft));
    }
    return *state.sleepDisabled ? @"Vell: sleep is disabled" : @"Vell: the Mac sleeps normally";
}

NSString* checksReport(const std::vector<VellCompanion::Check>& checks) {
    NSMutableString* report = [NSMutableString string];
    for (const VellCompanion::Check& check : checks) {
        if (check.fix) {
            [report appendFormat:@"✗ %@: %@\n", ns(check.name), ns(*check.fix)];
        } else {
            [report appendFormat:@"✓ %@\n", ns(check.name)];
        }
    }
    return report;
}

Notice approvalNotice() {
    return {"Allow Vell to run in the background",
            std::string("Turn Vell on in ") + VellCompanion::loginItemsPlace + "."};
}

std::optional<Notice> startAgent(const std::optional<std::string>& bundlePath) {
    if (!bundlePath) {
        return Notice{"Vell could not register its agent", "Vell can't tell where it lies."};
    }
    const auto outcome = VellCompanion::registerAgent(*bundlePath);
    if (outcome.status == platform::AgentServiceStatus::requiresApproval) {
        return approvalNotice();
    }
    if (!outcome.succeeded()) {
        return Notice{"Vell could not register its agent",
                      VellCompanion::describeRegistration(outcome.status) + ": " +
                          outcome.error.value_or("")};
    }
    return std::nullopt;
}

// Restores sleep first when Vell's override is on, waiting for the agent
// up to 20 s; when it can't, the agent stays registered and the error says so.
std::optional<Notice> stopAgent(const std::optional<std::string>& bundlePath) {
    const auto outcome = VellCompanion::unregisterAgent(bundlePath.value_or(""));
    if (outcome.error) {
        return Notice{"Vell could not unregister its agent", *outcome.error};
    }
    return std::nullopt;
}

// A canceled administrator prompt needs no word.
std::optional<Notice> setUpPmset() {
    if (const auto error = VellCompanion::setUpPasswordlessPmset().error) {
        return Notice{"Password-less pmset was not set up", *error};
    }
    return std::nullopt;
}

// This app as a login item: asks the service manager, which may take a moment.
SMAppServiceStatus openAtLoginStatus() {
    @autoreleasepool {
        return SMAppService.mainAppService.status;
    }
}

NSControlStateValue openAtLoginState(SMAppServiceStatus status) {
    if (status == SMAppServiceStatusRequiresApproval) {
        return NSControlStateValueMixed;
    }
    return checked(status == SMAppServiceStatusEnabled);
}

Notice openAtLoginApprovalNotice() {
    return {"Allow Vell to open at login",
            std::string("Turn Vell on in ") + VellCompanion::loginItemsPlace + "."};
}

std::optional<Notice> setOpenAtLogin(bool open) {
    @autoreleasepool {
        SMAppService* service = SMAppService.mainAppService;
        NSError* error = nil;
        const BOOL done = open ? [service registerAndReturnError:&error]
                               : [service unregisterAndReturnError:&error];
        if (service.status == SMAppServiceStatusRequiresApproval && open) {
            return openAtLoginApprovalNotice();
        }
        if (done) {
            return std::nullopt;
        }
        NSString* said = error.localizedDescription ?: @"unknown error";
        return Notice{open ? "Vell could not be set to open at login"
                           : "Vell could not stop opening at login",
                      said.UTF8String ?: "unknown error"};
    }
}

// The shared settings the menu shows, which vell and the agent change too.
NSArray<NSString*>* observedKeys() {
    return @[
        @(VellPreferences::wantedKey), @(VellPreferences::ownsOverrideKey),
        @(VellPreferences::lowBatteryCutoffKey), @(VellPreferences::cutoffReasonKey),
        @(VellPreferences::wantedUntilKey), @(VellPreferences::lowBatteryThresholdKey)
    ];
}

NSString* stateWord(NSControlStateValue state) {
    if (state == NSControlStateValueMixed) {
        return @"mixed";
    }
    return state == NSControlStateValueOn ? @"on" : @"off";
}

// The notification center needs the app's bundle, and raises an exception
// in an executable run outside it.
bool canNotify() {
    return NSBundle.mainBundle.bundleIdentifier != nil;
}

void runOnMain(dispatch_block_t block) {
    dispatch_async(dispatch_get_main_queue(), block);
}

}  // namespace

@interface VellMenuController
    : NSObject <NSApplicationDelegate, NSMenuDelegate, UNUserNotificationCenterDelegate>
- (instancetype)initSelfTesting:(SelfTest)selfTest;
@end

@implementation VellMenuController {
    SelfTest _selfTest;
    // Set once before any work is queued, then only read.
    std::optional<std::string> _bundlePath;
    // Serial: the companion is called from this queue alone, one call at a time.
    dispatch_queue_t _work;
    // The latest reading; only the work queue touches these. The first
    // reading after launch is the one later ones are compared with.
    VellCompanion::State _known;
    bool _readBefore;
    // A reading waits in the queue and will see any change made until it starts.
    std::atomic<bool> _settingsReadQueued;
    std::atomic<bool> _fullReadQueued;
    // What the menu shows; only the main thread touches these.
    VellCompanion::State _shown;
    NSString* _symbolShown;
    // Key-value observing on a suite reports other processes' changes too.
    NSUserDefaults* _sharedSuite;
    NSStatusItem* _statusItem;
    NSMenu* _menu;
    NSMenuItem* _timeLeft;
    NSMenuItem* _keepAwake;
    NSMenuItem* _untilTurnedOff;
    NSMenuItem* _keepAwakeOff;
    NSMenuItem* _lowBatteryCutoff;
    // A threshold set with vell that the submenu does not offer.
    NSMenuItem* _otherThreshold;
    NSMenuItem* _lowBatteryNever;
    NSMenuItem* _cutoffReason;
    NSMenuItem* _battery;
    NSMenuItem* _thermalState;
    NSMenuItem* _agent;
    NSMenuItem* _openAtLogin;
    NSMenuItem* _setUpPmset;
    NSTimer* _timer;
    int _followReadsLeft;
    // A registration, unregistration or set-up is under way.
    BOOL _acting;
    NSMutableArray<NSString*>* _selfTestProblems;
    NSTimer* _selfTestDeadline;
    // The self-test has checked the menu and awaits another process's change.
    BOOL _selfTestChecked;
    BOOL _wantedWhenChecked;
    int _wishChanges;
}

- (instancetype)initSelfTesting:(SelfTest)selfTest {
    self = [super init];
    if (self) {
        _selfTest = selfTest;
        _work = dispatch_queue_create("org.vell.app.menu.work", DISPATCH_QUEUE_SERIAL);
        _selfTestProblems = [NSMutableArray array];
    }
    return self;
}

- (NSMenuItem*)addItem:(NSString*)title action:(SEL)action to:(NSMenu*)menu {
    NSMenuItem* item = [menu addItemWithTitle:title action:action keyEquivalent:@""];
    item.target = action ? self : nil;
    return item;
}

- (NSMenuItem*)addItem:(NSString*)title action:(SEL)action {
    return [self addItem:title action:action to:_menu];
}

- (NSMenu*)addSubmenu:(NSString*)title {
    NSMenu* submenu = [[NSMenu alloc] initWithTitle:title];
    submenu.autoenablesItems = NO;
    NSMenuItem* item = [self addItem:title action:nil];
    item.submenu = submenu;
    return submenu;
}

- (void)buildKeepAwakeMenu {
    NSMenu* submenu = [self addSubmenu:keepAwakeTitle];
    _keepAwake = _menu.itemArray.lastObject;
    for (const auto& choice : keepAwakeTimes) {
        [self addItem:@(choice.title) action:@selector(keepAwakeFor:) to:submenu].tag =
            static_cast<NSInteger>(choice.seconds);
    }
    _untilTurnedOff = [self addItem:untilTurnedOffTitle
                             action:@selector(keepAwakeUntilTurnedOff:)
                                 to:submenu];
    _keepAwakeOff = [self addItem:keepAwakeOffTitle action:@selector(stopKeepingAwake:) to:submenu];
}

- (void)buildLowBatteryMenu {
    NSMenu* submenu = [self addSubmenu:lowBatteryCutoffTitle];
    _lowBatteryCutoff = _menu.itemArray.lastObject;
    for (const std::int64_t percent : offeredThresholds) {
        [self addItem:percentTitle(percent) action:@selector(cutOffAtThreshold:) to:submenu].tag =
            static_cast<NSInteger>(percent);
    }
    _otherThreshold = [self addItem:@"" action:nil to:submenu];
    _otherThreshold.enabled = NO;
    _otherThreshold.hidden = YES;
    _lowBatteryNever = [self addItem:lowBatteryNeverTitle
                              action:@selector(turnOffLowBatteryCutoff:)
                                  to:submenu];
}

- (void)buildMenu {
    _menu = [[NSMenu alloc] init];
    _menu.autoenablesItems = NO;
    _menu.delegate = self;
    _timeLeft = [self addItem:@"" action:nil];
    _timeLeft.hidden = YES;
    [self buildKeepAwakeMenu];
    [self buildLowBatteryMenu];
    [_menu addItem:[NSMenuItem separatorItem]];
    _cutoffReason = [self addItem:@"" action:nil];
    _battery = [self addItem:@"Battery: …" action:nil];
    _thermalState = [self addItem:@"Thermal state: …" action:nil];
    for (NSMenuItem* line in @[ _timeLeft, _cutoffReason, _battery, _thermalState ]) {
        line.enabled = NO;
    }
    _cutoffReason.hidden = YES;
    [_menu addItem:[NSMenuItem separatorItem]];
    _agent = [self addItem:agentTitle action:@selector(toggleAgent:)];
    _openAtLogin = [self addItem:openAtLoginTitle action:@selector(toggleOpenAtLogin:)];
    _setUpPmset = [self addItem:setUpPmsetTitle action:@selector(setUpPmset:)];
    [_menu addItem:[NSMenuItem separatorItem]];
    [self addItem:@"Vell " VELL_VERSION action:nil].enabled = NO;
    [_menu addItemWithTitle:quitTitle action:@selector(terminate:) keyEquivalent:@"q"];

    _statusItem = [NSStatusBar.systemStatusBar statusItemWithLength:NSVariableStatusItemLength];
    _statusItem.menu = _menu;
}

// Before launching ends, so that a click on a notification that launched
// the app reaches it. The self-test leaves notifications alone.
- (void)applicationWillFinishLaunching:(NSNotification*)notification {
    if (_selfTest == SelfTest::off && canNotify()) {
        UNUserNotificationCenter.currentNotificationCenter.delegate = self;
    }
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
    _bundlePath = VellCompanion::ownBundlePath();
    [self buildMenu];
    // Unknown until the first reading, moments away.
    [self showOverride:std::nullopt];
    dispatch_async(_work, ^{
      VellPreferences::migrateLegacyDomainIfNeeded();
    });
    [self readEverything];

    _sharedSuite = [[NSUserDefaults alloc] initWithSuiteName:@(VellPreferences::domain)];
    for (NSString* key in observedKeys()) {
        [_sharedSuite addObserver:self forKeyPath:key options:0 context:nil];
    }
    [self runTimerEvery:closedInterval];

    if (_selfTest != SelfTest::off) {
        [self endSelfTestAfter:selfTestAllowance saying:@"no full reading arrived"];
        return;
    }
    if (![NSUserDefaults.standardUserDefaults boolForKey:launchedBeforeKey]) {
        [self firstLaunch];
    }
}

- (void)dealloc {
    for (NSString* key in observedKeys()) {
        [_sharedSuite removeObserver:self forKeyPath:key];
    }
}

// In the common modes, so that it also fires while the menu is open.
- (void)runTimerEvery:(NSTimeInterval)interval {
    [_timer invalidate];
    _timer = [NSTimer timerWithTimeInterval:interval
                                     target:self
                                   selector:@selector(tick:)
                                   userInfo:nil
                                    repeats:YES];
    _timer.tolerance = interval / 4;
    [NSRunLoop.currentRunLoop addTimer:_timer forMode:NSRunLoopCommonModes];
}

// The settings, the override, the battery and the thermal state.
- (void)readSettingsAndMachine {
    if (_settingsReadQueued.exchange(true)) {
        return;
    }
    dispatch_async(_work, ^{
      self->_settingsReadQueued = false;
      [self take:VellCompanion::withSettingsAndMachine(self->_known)];
      [self publish:self->_known complete:NO notice:std::nullopt];
    });
}

// Everything, launchctl and sudo too.
- (void)readEverything {
    if (_fullReadQueued.exchange(true)) {
        return;
    }
    dispatch_async(_work, ^{
      self->_fullReadQueued = false;
      [self readEverythingAndPublish:std::nullopt];
    });
}

// On the work queue only.
- (void)readEverythingAndPublish:(const std::optional<Notice>&)notice {
    // The settings first: they take moments, the agent's part runs programs.
    [self take:VellCompanion::withSettingsAndMachine(_known)];
    [self publish:_known complete:NO notice:std::nullopt];
    const NSControlStateValue openAtLogin = openAtLoginState(openAtLoginStatus());
    runOnMain(^{
      self->_openAtLogin.state = openAtLogin;
    });
    [self take:VellCompanion::withAgent(_known, _bundlePath)];
    [self publish:_known complete:YES notice:notice];
}

// On the work queue only: keeps `reading` as the latest, and tells the user
// what the agent did on its own since the one before.
- (void)take:(const VellCompanion::State&)reading {
    std::optional<Notice> notice;
    if (_readBefore) {
        notice = VellCompanion::noticeFor(_known, reading, NSDate.timeIntervalSinceReferenceDate);
    }
    _known = reading;
    _readBefore = true;
    if (notice) {
        const Notice told = *notice;
        runOnMain(^{
          [self post:told];
        });
    }
}

// From the work queue to the main thread: `complete` when the reading
// included the agent and sudo.
- (void)publish:(const VellCompanion::State&)state
       complete:(BOOL)complete
         notice:(const std::optional<Notice>&)notice {
    const VellCompanion::State shown = state;
    const std::optional<Notice> told = notice;
    runOnMain(^{
      [self show:shown];
      if (told) {
          [self alert:ns(told->title) text:ns(told->text)];
      }
      if (complete && self->_selfTest != SelfTest::off && !self->_selfTestChecked) {
          [self checkSelfTest];
      }
    });
}

// Registers the agent, shows what the checks found and, once the app lies
// where it stays, offers to open it at login. Until the app has been opened
// from an Applications folder, every launch counts as the first.
- (void)firstLaunch {
    const std::optional<std::string> bundlePath = _bundlePath;
    dispatch_async(_work, ^{
      const auto checks = VellCompanion::registerAndCheck(bundlePath);
      const bool settled = !checks.front().fix;
      const bool offerOpenAtLogin = settled && openAtLoginStatus() != SMAppServiceStatusEnabled;
      NSString* report = checksReport(checks);
      runOnMain(^{
        if (settled) {
            [NSUserDefaults.standardUserDefaults setBool:YES forKey:launchedBeforeKey];
        }
        if (!offerOpenAtLogin) {
            [self alert:@"Welcome to Vell" text:report];
            return;
        }
        [self alert:@"Welcome to Vell"
                  text:[report stringByAppendingString:
                                   @"\nOpen Vell at login, so that its menu and its "
                                   @"notifications are there after a restart?"]
              offering:openAtLoginTitle
            whenChosen:^{
              [self changeOpenAtLogin:YES];
            }];
      });
      [self readEverythingAndPublish:std::nullopt];
    });
}

- (void)showOverride:(const std::optional<bool>&)sleepDisabled {
    _symbolShown = symbolName(sleepDisabled);
    NSImage* image = [NSImage imageWithSystemSymbolName:_symbolShown
                               accessibilityDescription:@"Vell"];
    // The menu bar tints template images for light and dark.
    [image setTemplate:YES];
    _statusItem.button.image = image;
}

// The line and the tooltip that say how long a timed wish has left; from
// the last reading and the clock, so the timer updates them between readings.
- (void)showTimeLeft {
    const std::optional<double> left = VellCompanion::secondsLeft(_shown);
    _timeLeft.hidden = !left;
    if (left) {
        _timeLeft.title = ns("Keep-awake ends in " + VellCompanion::describeTimeLeft(*left));
    }
    _statusItem.button.toolTip = toolTip(_shown, left);
}

// The timed items are never ticked: which one was chosen can't be told from
// the end alone, so the line on top says what is left instead.
- (void)showKeepAwake:(const VellCompanion::State&)state {
    _keepAwake.state = checked(state.wanted);
    _untilTurnedOff.state = checked(state.wanted && !state.wantedUntil);
    _keepAwakeOff.state = checked(!state.wanted);
}

// A configuration profile that forces the cutoff leaves nothing to choose.
- (void)showLowBatteryCutoff:(const VellCompanion::State&)state {
    _lowBatteryCutoff.state = checked(state.lowBatteryCutoff);
    _lowBatteryCutoff.enabled = !state.lowBatteryCutoffManaged;
    _lowBatteryCutoff.title = lowBatteryCutoffShown(state);
    _lowBatteryCutoff.toolTip = state.lowBatteryCutoffManaged
                                    ? ns(std::string("The low-battery cutoff is ") +
                                         VellCompanion::managedSettingNote + ".")
                                    : nil;
    for (NSMenuItem* item in _lowBatteryCutoff.submenu.itemArray) {
        if (item.action == @selector(cutOffAtThreshold:)) {
            item.state = checked(state.lowBatteryCutoff && state.lowBatteryThreshold == item.tag);
        }
    }
    _otherThreshold.hidden = !state.lowBatteryCutoff || isOffered(state.lowBatteryThreshold);
    _otherThreshold.title = percentTitle(state.lowBatteryThreshold);
    _otherThreshold.state = NSControlStateValueOn;
    _lowBatteryNever.state = checked(!state.lowBatteryCutoff);
}

- (void)show:(const VellCompanion::State&)state {
    _shown = state;
    [self showOverride:state.sleepDisabled];
    [self showTimeLeft];
    [self showKeepAwake:state];
    [self showLowBatteryCutoff:state];
    _cutoffReason.hidden = !state.cutoffReason;
    _cutoffReason.title = ns(state.cutoffReason.value_or(""));
    _battery.title = ns("Battery: " + VellCompanion::describeBattery(state.battery));
    _thermalState.title =
        [NSString stringWithFormat:@"Thermal state: %s",
                                   VellCompanion::describeThermalState(state.thermalState)];
    _agent.state = state.registration == platform::AgentServiceStatus::enabled
                       ? NSControlStateValueOn
                   : state.registration == platform::AgentServiceStatus::requiresApproval
                       ? NSControlStateValueMixed
                       : NSControlStateValueOff;
    _setUpPmset.hidden = state.passwordlessPmset;
    _setUpPmset.toolTip = state.inAdminGroup == false
                              ? @"You are not an administrator: the rule will be for your user "
                                @"alone, and an administrator's name and password are asked for."
                              : nil;
    [self followOverride];
    if (_selfTestChecked && _wishChanges > 0 && state.wanted != _wantedWhenChecked) {
        [self endSelfTestAfterChange];
    }
}

// The agent acts on a new wish within moments; until the override agrees
// with it, read again shortly, a bounded number of times.
- (void)followOverride {
    if (_followReadsLeft <= 0 || _shown.sleepDisabled == _shown.wanted) {
        _followReadsLeft = 0;
        return;
    }
    _followReadsLeft -= 1;
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, (int64_t)(followInterval * NSEC_PER_SEC)),
                   dispatch_get_main_queue(), ^{
                     [self readSettingsAndMachine];
                   });
}

- (void)tick:(NSTimer*)timer {
    [self showTimeLeft];
    [self readSettingsAndMachine];
}

// Arrives on any thread, for this process's changes and other processes' alike.
- (void)observeValueForKeyPath:(NSString*)keyPath
                      ofObject:(id)object
                        change:(NSDictionary<NSKeyValueChangeKey, id>*)change
                       context:(void*)context {
    if (object != _sharedSuite) {
        [super observeValueForKeyPath:keyPath ofObject:object change:change context:context];
        return;
    }
    const bool wish = [keyPath isEqualToString:@(VellPreferences::wantedKey)];
    runOnMain(^{
      self->_wishChanges += wish ? 1 : 0;
      self->_followReadsLeft = followReads;
      [self readSettingsAndMachine];
    });
}

- (void)menuWillOpen:(NSMenu*)menu {
    [self runTimerEvery:openInterval];
    [self readEverything];
}

- (void)menuDidClose:(NSMenu*)menu {
    [self runTimerEvery:closedInterval];
}

- (void)alert:(NSString*)title text:(NSString*)text {
    [self alert:title text:text offering:nil whenChosen:nil];
}

// With `choice`, the alert has a button for it beside "Not Now".
- (void)alert:(NSString*)title
          text:(NSString*)text
      offering:(NSString*)choice
    whenChosen:(dispatch_block_t)chosen {
    if (_selfTest != SelfTest::off) {
        [_selfTestProblems addObject:[NSString stringWithFormat:@"alert \"%@\": %@", title, text]];
        return;
    }
    // From the run loop, not from a main-queue block: a modal alert inside
    // one would hold back every later block, and the menu would stop
    // following the agent while the alert is up.
    [NSRunLoop.mainRunLoop performBlock:^{
      [NSApp activate];
      NSAlert* alert = [[NSAlert alloc] init];
      alert.messageText = title;
      alert.informativeText = text;
      if (choice) {
          [alert addButtonWithTitle:choice];
          [alert addButtonWithTitle:@"Not Now"];
      }
      if ([alert runModal] == NSAlertFirstButtonReturn && chosen) {
          chosen();
      }
    }];
}

// A notification, after asking permission the first time; macOS remembers
// the answer, and without permission nothing is shown.
- (void)post:(const Notice&)notice {
    if (_selfTest != SelfTest::off) {
        [_selfTestProblems addObject:[NSString stringWithFormat:@"notice \"%@\": %@",
                                                                ns(notice.title), ns(notice.text)]];
        return;
    }
    if (!canNotify()) {
        return;
    }
    NSString* title = ns(notice.title);
    NSString* text = ns(notice.text);
    UNUserNotificationCenter* center = UNUserNotificationCenter.currentNotificationCenter;
    [center
        requestAuthorizationWithOptions:UNAuthorizationOptionAlert
                      completionHandler:^(BOOL granted, NSError*) {
                        if (!granted) {
                            return;
                        }
                        UNMutableNotificationContent* content =
                            [[UNMutableNotificationContent alloc] init];
                        content.title = title;
                        content.body = text;
                        [center
                            addNotificationRequest:[UNNotificationRequest
                                                       requestWithIdentifier:NSUUID.UUID.UUIDString
                                                                     content:content
                                                                     trigger:nil]
                             withCompletionHandler:nil];
                      }];
}

// Shown even while the menu is open and the app thus in front.
- (void)userNotificationCenter:(UNUserNotificationCenter*)center
       willPresentNotification:(UNNotification*)notification
         withCompletionHandler:(void (^)(UNNotificationPresentationOptions))completionHandler {
    completionHandler(UNNotificationPresentationOptionBanner |
                      UNNotificationPresentationOptionList);
}

// A click on a notification opens the menu, which says what happened.
- (void)userNotificationCenter:(UNUserNotificationCenter*)center
    didReceiveNotificationResponse:(UNNotificationResponse*)response
             withCompletionHandler:(void (^)(void))completionHandler {
    runOnMain(^{
      [self->_statusItem.button performClick:nil];
    });
    completionHandler();
}

// Writes a setting on the work queue; the reading after it, and key-value
// observing, bring the change to the menu.
- (void)change:(bool (^)(void))write {
    _followReadsLeft = followReads;
    const std::string doctor = VellCompanion::doctorCommand(_bundlePath);
    dispatch_async(_work, ^{
      const bool saved = write();
      [self take:VellCompanion::withSettingsAndMachine(self->_known)];
      std::optional<Notice> notice;
      if (!saved) {
          notice = Notice{"Vell could not save the setting",
                          "The agent won't see it. To see why, run in Terminal: " + doctor};
      }
      [self publish:self->_known complete:NO notice:notice];
    });
}

- (void)keepAwakeFor:(NSMenuItem*)sender {
    const double seconds = sender.tag;
    [self change:^bool {
      return VellCompanion::setKeepAwakeFor(seconds);
    }];
}

- (void)keepAwakeUntilTurnedOff:(NSMenuItem*)sender {
    [self change:^bool {
      return VellCompanion::setKeepAwake(true);
    }];
}

- (void)stopKeepingAwake:(NSMenuItem*)sender {
    [self change:^bool {
      return VellCompanion::setKeepAwake(false);
    }];
}

// The item is disabled while a profile forces the cutoff; should a click
// still arrive, nothing is written.
- (void)cutOffAtThreshold:(NSMenuItem*)sender {
    if (_shown.lowBatteryCutoffManaged) {
        return;
    }
    const std::int64_t percent = sender.tag;
    [self change:^bool {
      return VellCompanion::setLowBatteryThreshold(percent);
    }];
}

- (void)turnOffLowBatteryCutoff:(NSMenuItem*)sender {
    if (_shown.lowBatteryCutoffManaged) {
        return;
    }
    [self change:^bool {
      return VellCompanion::setLowBatteryCutoff(false);
    }];
}

// Runs `action` on the work queue, with the items that act disabled and
// `item` saying `busy` until it is done, then reads everything afresh and
// shows what it had to say.
- (void)act:(NSMenuItem*)item busy:(NSString*)busy action:(std::optional<Notice> (^)(void))action {
    NSString* title = item.title;
    item.title = busy;
    [self setActing:YES];
    dispatch_async(_work, ^{
      const std::optional<Notice> notice = action();
      runOnMain(^{
        item.title = title;
        [self setActing:NO];
      });
      [self readEverythingAndPublish:notice];
    });
}

- (void)setActing:(BOOL)acting {
    _acting = acting;
    for (NSMenuItem* item in @[ _agent, _openAtLogin, _setUpPmset ]) {
        item.enabled = !acting;
    }
}

- (void)toggleAgent:(NSMenuItem*)sender {
    // Registered but not yet allowed: unregistering would undo the step
    // that only waits for the user.
    if (sender.state == NSControlStateValueMixed) {
        const Notice notice = approvalNotice();
        [self alert:ns(notice.title) text:ns(notice.text)];
        return;
    }
    const bool start = sender.state != NSControlStateValueOn;
    const std::optional<std::string> bundlePath = _bundlePath;
    [self act:_agent
          busy:start ? @"Starting the Agent…" : @"Stopping the Agent…"
        action:^std::optional<Notice> {
          return start ? startAgent(bundlePath) : stopAgent(bundlePath);
        }];
}

- (void)changeOpenAtLogin:(BOOL)open {
    [self act:_openAtLogin
          busy:openAtLoginTitle
        action:^std::optional<Notice> {
          return setOpenAtLogin(open);
        }];
}

- (void)toggleOpenAtLogin:(NSMenuItem*)sender {
    // Turned off in System Settings: only the user can turn it on there.
    if (sender.state == NSControlStateValueMixed) {
        const Notice notice = openAtLoginApprovalNotice();
        [self alert:ns(notice.title) text:ns(notice.text)];
        return;
    }
    [self changeOpenAtLogin:sender.state != NSControlStateValueOn];
}

- (void)setUpPmset:(NSMenuItem*)sender {
    [self act:_setUpPmset
          busy:@"Setting Up Password-less pmset…"
        action:^std::optional<Notice> {
          return setUpPmset();
        }];
}

// What the menu shows, for the caller to compare with `vell status --json`.
- (NSString*)shownLine {
    return [NSString
        stringWithFormat:@"keepAwake=%@ lowBatteryCutoff=%@ symbol=%@ agent=%@ setUp=%@ "
                         @"openAtLogin=%@",
                         stateWord(_keepAwake.state), stateWord(_lowBatteryCutoff.state),
                         _symbolShown, stateWord(_agent.state),
                         _setUpPmset.hidden ? @"hidden" : @"shown", stateWord(_openAtLogin.state)];
}

- (void)selfTestSays:(NSString*)line {
    std::printf("%s\n", line.UTF8String);
    std::fflush(stdout);
}

// At once: no static destructor may run under a reading on the work queue.
- (void)endSelfTestSaying:(NSString*)line status:(int)status {
    [self selfTestSays:line];
    _exit(status);
}

- (void)endSelfTestWithProblems {
    [self endSelfTestSaying:[NSString
                                stringWithFormat:@"VellMenu self-test failed: %@ (%@)",
                                                 [_selfTestProblems componentsJoinedByString:@"; "],
                                                 [self shownLine]]
                     status:1];
}

// Another process withdrew or raised the wish: the user's change, which
// must raise no notice.
- (void)endSelfTestAfterChange {
    if (_selfTestProblems.count > 0) {
        [self endSelfTestWithProblems];
    }
    [self endSelfTestSaying:[@"VellMenu self-test saw another process's change: "
                                stringByAppendingString:[self shownLine]]
                     status:0];
}

- (void)endSelfTestAfter:(NSTimeInterval)allowance saying:(NSString*)problem {
    [_selfTestDeadline invalidate];
    _selfTestDeadline = [NSTimer
        scheduledTimerWithTimeInterval:allowance
                               repeats:NO
                                 block:^(NSTimer*) {
                                   [self endSelfTestSaying:[@"VellMenu self-test failed: "
                                                               stringByAppendingString:problem]
                                                    status:1];
                                 }];
}

// The items that act, submenus included, in order.
- (void)collectActingItemsOf:(NSMenu*)menu into:(NSMutableArray<NSMenuItem*>*)items {
    for (NSMenuItem* item in menu.itemArray) {
        if (item.submenu) {
            [self collectActingItemsOf:item.submenu into:items];
        } else if (!item.separatorItem && item.action != nil) {
            [items addObject:item];
        }
    }
}

// Exactly one of `items` is ticked.
- (void)expectOneTickedOf:(NSArray<NSMenuItem*>*)items in:(NSString*)menu {
    NSUInteger ticked = 0;
    for (NSMenuItem* item in items) {
        ticked += !item.hidden && item.state == NSControlStateValueOn ? 1 : 0;
    }
    if (ticked != 1) {
        [_selfTestProblems
            addObject:[NSString stringWithFormat:@"%lu items ticked in %@",
                                                 static_cast<unsigned long>(ticked), menu]];
    }
}

// Checks what only a running app shows: the status item and its symbols,
// the items in order with their titles, an action behind every item that
// has one, and the submenus ticked as the reading says.
- (void)checkSelfTest {
    NSMutableArray<NSString*>* problems = _selfTestProblems;
    if (_statusItem.button == nil || _statusItem.menu != _menu) {
        [problems addObject:@"the status item has no button or no menu"];
    }
    if (_statusItem.button.toolTip.length == 0) {
        [problems addObject:@"the status item has no tooltip"];
    }
    for (const std::optional<bool>& sleepDisabled :
         {std::optional<bool>(), std::optional<bool>(false), std::optional<bool>(true)}) {
        if ([NSImage imageWithSystemSymbolName:symbolName(sleepDisabled)
                      accessibilityDescription:nil] == nil) {
            [problems
                addObject:[NSString stringWithFormat:@"no symbol %@", symbolName(sleepDisabled)]];
        }
    }
    NSMutableArray<NSMenuItem*>* items = [NSMutableArray array];
    [self collectActingItemsOf:_menu into:items];
    NSMutableArray<NSString*>* titles = [NSMutableArray array];
    for (NSMenuItem* item in items) {
        [titles addObject:item.title];
        if ([NSApp targetForAction:item.action to:item.target from:item] == nil) {
            [problems addObject:[NSString stringWithFormat:@"nothing acts on %@", item.title]];
        }
    }
    NSMutableArray<NSString*>* expected = [NSMutableArray array];
    for (const auto& choice : keepAwakeTimes) {
        [expected addObject:@(choice.title)];
    }
    [expected addObjectsFromArray:@[ untilTurnedOffTitle, keepAwakeOffTitle ]];
    for (const std::int64_t percent : offeredThresholds) {
        [expected addObject:percentTitle(percent)];
    }
    [expected addObjectsFromArray:@[
        lowBatteryNeverTitle, agentTitle, openAtLoginTitle, setUpPmsetTitle, quitTitle
    ]];
    if (![titles isEqualToArray:expected]) {
        [problems addObject:[NSString stringWithFormat:@"items %@",
                                                       [titles componentsJoinedByString:@", "]]];
    }
    // A timed wish ticks none of the keep-awake items and shows its time left.
    if (_shown.wantedUntil) {
        if (_timeLeft.hidden || _untilTurnedOff.state == NSControlStateValueOn) {
            [problems addObject:@"a timed wish without its time left"];
        }
    } else {
        [self expectOneTickedOf:_keepAwake.submenu.itemArray in:keepAwakeTitle];
    }
    [self expectOneTickedOf:_lowBatteryCutoff.submenu.itemArray in:lowBatteryCutoffTitle];
    if (_lowBatteryCutoff.enabled == _shown.lowBatteryCutoffManaged) {
        [problems addObject:@"the low-battery cutoff is not disabled exactly when managed"];
    }
    if (![_battery.title hasPrefix:@"Battery: "] ||
        ![_thermalState.title hasPrefix:@"Thermal state: "]) {
        [problems addObject:@"no battery or thermal line"];
    }
    if (_acting) {
        [problems addObject:@"an action is under way"];
    }
    if (problems.count > 0) {
        [self endSelfTestWithProblems];
    }
    NSString* passed = [@"VellMenu self-test passed: " stringByAppendingString:[self shownLine]];
    if (_selfTest == SelfTest::once) {
        [self endSelfTestSaying:passed status:0];
    }
    [self selfTestSays:passed];
    _selfTestChecked = YES;
    _wantedWhenChecked = _shown.wanted;
    _wishChanges = 0;
    [self endSelfTestAfter:awaitChangeAllowance
                    saying:@"no change to the wish arrived by key-value observing"];
}

@end

int main() {
    @autoreleasepool {
        NSApplication* app = NSApplication.sharedApplication;
        NSArray<NSString*>* arguments = NSProcessInfo.processInfo.arguments;
        const SelfTest selfTest = ![arguments containsObject:selfTestArgument] ? SelfTest::off
                                  : [arguments containsObject:awaitChangeArgument]
                                      ? SelfTest::untilChange
                                      : SelfTest::once;
        // NSApplication holds its delegate weakly, and ARC may release a
        // local after its last use: this one stays for the app's life, since
        // -run returns only as the app exits.
        NS_VALID_UNTIL_END_OF_SCOPE VellMenuController* controller =
            [[VellMenuController alloc] initSelfTesting:selfTest];
        app.delegate = controller;
        app.activationPolicy = NSApplicationActivationPolicyAccessory;
        [app run];
    }
    return 0;
}
