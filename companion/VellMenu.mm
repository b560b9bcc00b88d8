// Vell.app's main executable: a menu-bar app over the companion model. Its
// status item shows the override; its menu shows and changes the wish, the
// low-battery cutoff and the agent's registration, and offers to set up
// password-less pmset while that is missing.
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
// with what the menu shows after it.
#import <AppKit/AppKit.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "VellCompanion/Companion.hpp"
#include "VellCompanion/StateText.hpp"
#include "VellShared/Preferences.hpp"

namespace {

// While the menu is closed, no more often than the agent itself looks: the
// settings arrive by key-value observing, so this only catches the battery
// and an override changed outside Vell.
constexpr NSTimeInterval closedInterval = 15.0;
// While the menu is open, its battery and thermal lines follow closely.
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
NSString* const lowBatteryCutoffTitle = @"Turn Off at 10 % Battery";
// Ticked, the agent runs now and at every login; unticked, it stops.
NSString* const agentTitle = @"Run Agent in Background";
NSString* const setUpPmsetTitle = @"Set Up Password-less pmset…";
NSString* const quitTitle = @"Quit Vell";

NSString* ns(const std::string& text) {
    return [[NSString alloc] initWithBytes:text.data()
                                    length:text.size()
                                  encoding:NSUTF8StringEncoding]
               ?: @"";
}

NSString* symbolName(const std::optional<bool>& sleepDisabled) {
    if (!sleepDisabled) {
        return @"exclamationmark.triangle";
    }
    return *sleepDisabled ? @"cup.and.saucer.fill" : @"cup.and.saucer";
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

// What an action on the work queue has to tell the user.
struct Notice {
    std::string title;
    std::string text;
};

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

// The shared settings the menu shows, which vell and the agent change too.
NSArray<NSString*>* observedKeys() {
    return @[
        @(VellPreferences::wantedKey), @(VellPreferences::ownsOverrideKey),
        @(VellPreferences::lowBatteryCutoffKey), @(VellPreferences::cutoffReasonKey)
    ];
}

NSString* stateWord(NSControlStateValue state) {
    if (state == NSControlStateValueMixed) {
        return @"mixed";
    }
    return state == NSControlStateValueOn ? @"on" : @"off";
}

void runOnMain(dispatch_block_t block) {
    dispatch_async(dispatch_get_main_queue(), block);
}

}  // namespace

@interface VellMenuController : NSObject <NSApplicationDelegate, NSMenuDelegate>
- (instancetype)initSelfTesting:(SelfTest)selfTest;
@end

@implementation VellMenuController {
    SelfTest _selfTest;
    // Set once before any work is queued, then only read.
    std::optional<std::string> _bundlePath;
    // Serial: the companion is called from this queue alone, one call at a time.
    dispatch_queue_t _work;
    // The latest reading; only the work queue touches it.
    VellCompanion::State _known;
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
    NSMenuItem* _keepAwake;
    NSMenuItem* _lowBatteryCutoff;
    NSMenuItem* _cutoffReason;
    NSMenuItem* _battery;
    NSMenuItem* _thermalState;
    NSMenuItem* _agent;
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

- (NSMenuItem*)addItem:(NSString*)title action:(SEL)action {
    NSMenuItem* item = [_menu addItemWithTitle:title action:action keyEquivalent:@""];
    item.target = action ? self : nil;
    return item;
}

- (void)buildMenu {
    _menu = [[NSMenu alloc] init];
    _menu.autoenablesItems = NO;
    _menu.delegate = self;
    _keepAwake = [self addItem:keepAwakeTitle action:@selector(toggleKeepAwake:)];
    _lowBatteryCutoff = [self addItem:lowBatteryCutoffTitle
                               action:@selector(toggleLowBatteryCutoff:)];
    [_menu addItem:[NSMenuItem separatorItem]];
    _cutoffReason = [self addItem:@"" action:nil];
    _battery = [self addItem:@"Battery: …" action:nil];
    _thermalState = [self addItem:@"Thermal state: …" action:nil];
    for (NSMenuItem* line in @[ _cutoffReason, _battery, _thermalState ]) {
        line.enabled = NO;
    }
    _cutoffReason.hidden = YES;
    [_menu addItem:[NSMenuItem separatorItem]];
    _agent = [self addItem:agentTitle action:@selector(toggleAgent:)];
    _setUpPmset = [self addItem:setUpPmsetTitle action:@selector(setUpPmset:)];
    [_menu addItem:[NSMenuItem separatorItem]];
    [self addItem:@"Vell " VELL_VERSION action:nil].enabled = NO;
    [_menu addItemWithTitle:quitTitle action:@selector(terminate:) keyEquivalent:@"q"];

    _statusItem = [NSStatusBar.systemStatusBar statusItemWithLength:NSVariableStatusItemLength];
    _statusItem.menu = _menu;
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
      self->_known = VellCompanion::withSettingsAndMachine(self->_known);
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
    _known = VellCompanion::withSettingsAndMachine(_known);
    [self publish:_known complete:NO notice:std::nullopt];
    _known = VellCompanion::withAgent(_known, _bundlePath);
    [self publish:_known complete:YES notice:notice];
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

// Registers the agent and shows what the checks found. Until the app has
// been opened from an Applications folder, every launch counts as the first.
- (void)firstLaunch {
    const std::optional<std::string> bundlePath = _bundlePath;
    dispatch_async(_work, ^{
      const auto checks = VellCompanion::registerAndCheck(bundlePath);
      const bool settled = !checks.front().fix;
      NSString* report = checksReport(checks);
      runOnMain(^{
        if (settled) {
            [NSUserDefaults.standardUserDefaults setBool:YES forKey:launchedBeforeKey];
        }
        [self alert:@"Welcome to Vell" text:report];
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

- (void)show:(const VellCompanion::State&)state {
    _shown = state;
    [self showOverride:state.sleepDisabled];
    _keepAwake.state = state.wanted ? NSControlStateValueOn : NSControlStateValueOff;
    _lowBatteryCutoff.state =
        state.lowBatteryCutoff ? NSControlStateValueOn : NSControlStateValueOff;
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
    [self followOverride];
    if (_selfTestChecked && _wishChanges > 0 && state.wanted != _wantedWhenChecked) {
        [self endSelfTestSaying:[@"VellMenu self-test saw another process's change: "
                                    stringByAppendingString:[self shownLine]]
                         status:0];
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
      [alert runModal];
    }];
}

// Writes a setting on the work queue; the reading after it, and key-value
// observing, bring the change to the menu.
- (void)change:(bool (^)(void))write {
    _followReadsLeft = followReads;
    const std::string doctor = VellCompanion::doctorCommand(_bundlePath);
    dispatch_async(_work, ^{
      const bool saved = write();
      self->_known = VellCompanion::withSettingsAndMachine(self->_known);
      std::optional<Notice> notice;
      if (!saved) {
          notice = Notice{"Vell could not save the setting",
                          "The agent won't see it. To see why, run in Terminal: " + doctor};
      }
      [self publish:self->_known complete:NO notice:notice];
    });
}

- (void)toggleKeepAwake:(NSMenuItem*)sender {
    const bool on = sender.state != NSControlStateValueOn;
    [self change:^bool {
      return VellCompanion::setKeepAwake(on);
    }];
}

- (void)toggleLowBatteryCutoff:(NSMenuItem*)sender {
    const bool on = sender.state != NSControlStateValueOn;
    [self change:^bool {
      return VellCompanion::setLowBatteryCutoff(on);
    }];
}

// Runs `action` on the work queue, with the items that act disabled until
// it is done, then reads everything afresh and shows what it had to say.
- (void)act:(std::optional<Notice> (^)(void))action {
    [self setActing:YES];
    dispatch_async(_work, ^{
      const std::optional<Notice> notice = action();
      runOnMain(^{
        [self setActing:NO];
      });
      [self readEverythingAndPublish:notice];
    });
}

- (void)setActing:(BOOL)acting {
    _acting = acting;
    _agent.enabled = !acting;
    _setUpPmset.enabled = !acting;
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
    [self act:^std::optional<Notice> {
      return start ? startAgent(bundlePath) : stopAgent(bundlePath);
    }];
}

- (void)setUpPmset:(NSMenuItem*)sender {
    [self act:^std::optional<Notice> {
      return setUpPmset();
    }];
}

// What the menu shows, for the caller to compare with `vell status --json`.
- (NSString*)shownLine {
    return
        [NSString stringWithFormat:@"keepAwake=%@ lowBatteryCutoff=%@ symbol=%@ agent=%@ setUp=%@",
                                   stateWord(_keepAwake.state), stateWord(_lowBatteryCutoff.state),
                                   _symbolShown, stateWord(_agent.state),
                                   _setUpPmset.hidden ? @"hidden" : @"shown"];
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

// Checks what only a running app shows: the status item and its symbols,
// the items in order with their titles, and an action behind every item
// that has one.
- (void)checkSelfTest {
    NSMutableArray<NSString*>* problems = _selfTestProblems;
    if (_statusItem.button == nil || _statusItem.menu != _menu) {
        [problems addObject:@"the status item has no button or no menu"];
    }
    for (const std::optional<bool>& sleepDisabled :
         {std::optional<bool>(), std::optional<bool>(false), std::optional<bool>(true)}) {
        if ([NSImage imageWithSystemSymbolName:symbolName(sleepDisabled)
                      accessibilityDescription:nil] == nil) {
            [problems
                addObject:[NSString stringWithFormat:@"no symbol %@", symbolName(sleepDisabled)]];
        }
    }
    NSMutableArray<NSString*>* titles = [NSMutableArray array];
    for (NSMenuItem* item in _menu.itemArray) {
        if (item.separatorItem || item.action == nil) {
            continue;
        }
        [titles addObject:item.title];
        if ([NSApp targetForAction:item.action to:item.target from:item] == nil) {
            [problems addObject:[NSString stringWithFormat:@"nothing acts on %@", item.title]];
        }
    }
    NSArray<NSString*>* expected =
        @[ keepAwakeTitle, lowBatteryCutoffTitle, agentTitle, setUpPmsetTitle, quitTitle ];
    if (![titles isEqualToArray:expected]) {
        [problems addObject:[NSString stringWithFormat:@"items %@",
                                                       [titles componentsJoinedByString:@", "]]];
    }
    if (![_battery.title hasPrefix:@"Battery: "] ||
        ![_thermalState.title hasPrefix:@"Thermal state: "]) {
        [problems addObject:@"no battery or thermal line"];
    }
    if (_acting) {
        [problems addObject:@"an action is under way"];
    }
    if (problems.count > 0) {
        [self
            endSelfTestSaying:[NSString stringWithFormat:@"VellMenu self-test failed: %@ (%@)",
                                                         [problems componentsJoinedByString:@"; "],
                                                         [self shownLine]]
                       status:1];
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
