// Any bytes as the shared settings suite: every setting reads without harm,
// and a write keeps aside what was there when it is no property-list
// dictionary. Then the same bytes as any value stored under each key, read
// back through the platform's coercions and the settings' typed reads.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "VellShared/Preferences.hpp"
#include "VellShared/PropertyListReads.hpp"
#include "fuzz/FuzzSupport.hpp"

namespace {

void readEverySetting() {
    (void)VellPreferences::wanted();
    (void)VellPreferences::ownsOverride();
    (void)VellPreferences::priorCaffeinate();
    (void)VellPreferences::caffeinateAtLaunch();
    (void)VellPreferences::lowBatteryCutoff();
    (void)VellPreferences::cutoffReason();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzRoot();
    std::filesystem::remove_all(homePath("/Library/Preferences"));
    putFile("/Users/fuzz/Library/Preferences/org.vell.app.shared.plist",
            std::string(reinterpret_cast<const char*>(data), size));
    readEverySetting();
    VellPreferences::migrateLegacyDomainIfNeeded();
    VellPreferences::setOwnsOverride(true);
    if (!VellPreferences::ownsOverride()) {
        __builtin_trap();  // a write always lands, whatever was there
    }

    FuzzedDataProvider input(data, size);
    const PropertyListValue value = fuzzValue(input);
    const auto suite = VellPreferences::store();
    for (const char* key : {VellPreferences::wantedKey, VellPreferences::lowBatteryCutoffKey,
                            VellPreferences::cutoffReasonKey}) {
        suite->setObjectForKey(value, key);
    }
    readEverySetting();
    (void)readBoolean(value);
    (void)readInteger(value);
    (void)readString(value);
    return 0;
}
