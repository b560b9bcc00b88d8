// Vell.app's main executable: a menu-bar app over the companion model. Its
// status item shows the override; its menu shows and changes the wish, the
// low-battery cutoff and the agent's registration, and offers to set up
// password-less pmset while that is missing.
#import <AppKit/AppKit.h>

#include <optional>
#include <string>

#include "VellCompanion/Companion.hpp"
#include "VellCompanion/StateText.hpp"
#include "VellShared/Preferences.hpp"

namespace {

// Often enough that the symbol follows the agent within moments. While the
// menu is closed it reads the registry only; while it is open, no more than
// what runs no program.
constexpr NSTimeInterval refreshInterval = 2.0;
NSString* const launchedBeforeKey = @"launchedBefore";

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

void showAlert(NSString* title, NSString* text) {
    [NSApp activate];
    NSAlert* alert = [[NSAlert alloc] init];
    alert.messageText = title;
    alert.informativeText = text;
    [alert runModal];
}

void askForApproval() {
    showAlert(@"Allow Vell to run in the background",
              ns(std::string("Turn Vell on in ") + VellCompanion::loginItemsPlace + "."));
}

// The shared settings the menu shows, which vell and the agent change too.
NSArray<NSString*>* observedKeys() {
    return @[
        @(VellPreferences::wantedKey), @(VellPreferences::ownsOverrideKey),
        @(VellPreferences::lowBatteryCutoffKey), @(VellPreferences::cutoffReasonKey)
    ];
}

}  // namespace

@interface VellMenuController : NSObject <NSApplicationDelegate, NSMenuDelegate>
@end

@implementation VellMenuController {
    std::optional<std::string> _bundlePath;
    VellCompanion::State _state;
    // Key-value observing on a suite reports other processes' changes too.
    NSUserDefaults* _sharedSuite;
    NSStatusItem* _statusItem;
    NSMenuItem* _keepAwake;
    NSMenuItem* _lowBatteryCutoff;
    NSMenuItem* _cutoffReason;
    NSMenuItem* _battery;
    NSMenuItem* _thermalState;
    NSMenuItem* _startAtLogin;
    NSMenuItem* _setUpPmset;
    NSTimer* _timer;
    BOOL _menuOpen;
}

- (NSMenuItem*)addItem:(NSString*)title to:(NSMenu*)menu action:(SEL)action {
    NSMenuItem* item = [menu addItemWithTitle:title action:action keyEquivalent:@""];
    item.target = action ? self : nil;
    return item;
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
    _bundlePath = VellCompanion::ownBundlePath();
    NSMenu* menu = [[NSMenu alloc] init];
    menu.autoenablesItems = NO;
    menu.delegate = self;
    _keepAwake = [self addItem:@"Keep Mac Awake" to:menu action:@selector(toggleKeepAwake:)];
    _lowBatteryCutoff = [self addItem:@"Turn Off at 10 % Battery"
                                   to:menu
                               action:@selector(toggleLowBatteryCutoff:)];
    [menu addItem:[NSMenuItem separatorItem]];
    _cutoffReason = [self addItem:@"" to:menu action:nil];
    _battery = [self addItem:@"" to:menu action:nil];
    _thermalState = [self addItem:@"" to:menu action:nil];
    for (NSMenuItem* line in @[ _cutoffReason, _battery, _thermalState ]) {
        line.enabled = NO;
    }
    [menu addItem:[NSMenuItem separatorItem]];
    _startAtLogin = [self addItem:@"Start Agent at Login"
                               to:menu
                           action:@selector(toggleStartAtLogin:)];
    _setUpPmset = [self addItem:@"Set Up Password-less pmset…"
                             to:menu
                         action:@selector(setUpPmset:)];
    [menu addItem:[NSMenuItem separatorItem]];
    [self addItem:@"Vell " VELL_VERSION to:menu action:nil].enabled = NO;
    [menu addItemWithTitle:@"Quit Vell" action:@selector(terminate:) keyEquivalent:@"q"];

    _statusItem = [NSStatusBar.systemStatusBar statusItemWithLength:NSVariableStatusItemLength];
    _statusItem.menu = menu;
    [self refreshSettingsAndMachine];

    _sharedSuite = [[NSUserDefaults alloc] initWithSuiteName:@(VellPreferences::domain)];
    for (NSString* key in observedKeys()) {
        [_sharedSuite addObserver:self forKeyPath:key options:0 context:nil];
    }
    // In the common modes, so that it also fires while the menu is open.
    _timer = [NSTimer timerWithTimeInterval:refreshInterval
                                     target:self
                                   selector:@selector(tick:)
                                   userInfo:nil
                                    repeats:YES];
    _timer.tolerance = refreshInterval / 2;
    [NSRunLoop.currentRunLoop addTimer:_timer forMode:NSRunLoopCommonModes];

    if (![NSUserDefaults.standardUserDefaults boolForKey:launchedBeforeKey]) {
        [self firstLaunch];
    }
}

// Registers the agent and shows what the checks found. Until the app has
// been opened from an Applications folder, every launch counts as the first.
- (void)firstLaunch {
    const auto checks = VellCompanion::registerAndCheck(_bundlePath);
    if (!checks.front().fix) {
        [NSUserDefaults.standardUserDefaults setBool:YES forKey:launchedBeforeKey];
    }
    showAlert(@"Welcome to Vell", checksReport(checks));
    [self refreshAll];
}

- (void)dealloc {
    for (NSString* key in observedKeys()) {
        [_sharedSuite removeObserver:self forKeyPath:key];
    }
}

- (void)showOverride:(const std::optional<bool>&)sleepDisabled {
    NSImage* image = [NSImage imageWithSystemSymbolName:symbolName(sleepDisabled)
                               accessibilityDescription:@"Vell"];
    // The menu bar tints template images for light and dark.
    [image setTemplate:YES];
    _statusItem.button.image = image;
}

- (void)refreshSymbol {
    [self showOverride:VellCompanion::readOverride()];
}

- (void)refreshSettingsAndMachine {
    _state = VellCompanion::withSettingsAndMachine(_state);
    [self showState];
}

// Asks launchctl and sudo: only when the menu opens or after the user acts.
- (void)refreshAll {
    _state = VellCompanion::readState(_bundlePath);
    [self showState];
}

- (void)showState {
    const VellCompanion::State& state = _state;
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
    _startAtLogin.state = state.registration == platform::AgentServiceStatus::enabled
                              ? NSControlStateValueOn
                          : state.registration == platform::AgentServiceStatus::requiresApproval
                              ? NSControlStateValueMixed
                              : NSControlStateValueOff;
    _setUpPmset.hidden = state.passwordlessPmset;
}

- (void)tick:(NSTimer*)timer {
    if (_menuOpen) {
        [self refreshSettingsAndMachine];
    } else {
        [self refreshSymbol];
    }
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
    dispatch_async(dispatch_get_main_queue(), ^{
      [self refreshSettingsAndMachine];
    });
}

- (void)menuWillOpen:(NSMenu*)menu {
    _menuOpen = YES;
    [self refreshAll];
}

- (void)menuDidClose:(NSMenu*)menu {
    _menuOpen = NO;
}

- (void)reportUnsaved {
    showAlert(@"Vell could not save the setting",
              @"The agent won't see it. Run `vell doctor` in Terminal to see why.");
}

- (void)toggleKeepAwake:(NSMenuItem*)sender {
    if (!VellCompanion::setKeepAwake(sender.state != NSControlStateValueOn)) {
        [self reportUnsaved];
    }
    [self refreshSettingsAndMachine];
}

- (void)toggleLowBatteryCutoff:(NSMenuItem*)sender {
    if (!VellCompanion::setLowBatteryCutoff(sender.state != NSControlStateValueOn)) {
        [self reportUnsaved];
    }
    [self refreshSettingsAndMachine];
}

- (void)toggleStartAtLogin:(NSMenuItem*)sender {
    // Registered but not yet allowed: unregistering would undo the step
    // that only waits for the user.
    if (sender.state == NSControlStateValueMixed) {
        askForApproval();
        return;
    }
    if (sender.state == NSControlStateValueOn) {
        const auto outcome = VellCompanion::unregisterAgent(_bundlePath.value_or(""));
        if (outcome.error) {
            showAlert(@"Vell could not unregister its agent", ns(*outcome.error));
        }
        [self refreshAll];
        return;
    }
    if (!_bundlePath) {
        showAlert(@"Vell could not register its agent", @"Vell can't tell where it lies.");
        return;
    }
    const auto outcome = VellCompanion::registerAgent(*_bundlePath);
    if (outcome.status == platform::AgentServiceStatus::requiresApproval) {
        askForApproval();
    } else if (!outcome.succeeded()) {
        showAlert(@"Vell could not register its agent",
                  ns(VellCompanion::describeRegistration(outcome.status) + ": " +
                     outcome.error.value_or("")));
    }
    [self refreshAll];
}

// A canceled administrator prompt needs no word.
- (void)setUpPmset:(NSMenuItem*)sender {
    if (const auto error = VellCompanion::setUpPasswordlessPmset().error) {
        showAlert(@"Password-less pmset was not set up", ns(*error));
    }
    [self refreshAll];
}

@end

int main() {
    @autoreleasepool {
        VellPreferences::migrateLegacyDomainIfNeeded();
        NSApplication* app = NSApplication.sharedApplication;
        VellMenuController* controller = [[VellMenuController alloc] init];
        app.delegate = controller;
        app.activationPolicy = NSApplicationActivationPolicyAccessory;
        [app run];
    }
    return 0;
}
