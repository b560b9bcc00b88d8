// Any bytes as the shared settings suite: every setting reads without harm,
// and a write keeps aside what was there when it is no property-list
// dictionary.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "VellShared/Preferences.hpp"
#include "fuzz/FuzzSupport.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzRoot();
    const std::string folder = homePath("/Library/Preferences");
    std::filesystem::remove_all(folder);
    putFile("/Users/fuzz/Library/Preferences/org.vell.app.shared.plist",
            std::string(reinterpret_cast<const char*>(data), size));
    (void)VellPreferences::wanted();
    (void)VellPreferences::ownsOverride();
    (void)VellPreferences::priorCaffeinate();
    (void)VellPreferences::caffeinateAtLaunch();
    (void)VellPreferences::lowBatteryCutoff();
    (void)VellPreferences::cutoffReason();
    VellPreferences::migrateLegacyDomainIfNeeded();
    VellPreferences::setOwnsOverride(true);
    if (!VellPreferences::ownsOverride()) {
        __builtin_trap();  // a write always lands, whatever was there
    }
    return 0;
}
