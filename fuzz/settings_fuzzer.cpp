// Any bytes as the shared settings suite: every setting reads without harm,
// and a write keeps aside what was there when it is no property-list
// dictionary, or fails and leaves it when it is beyond what the stand-in
// reads. Then the same bytes as any value stored under each key, read back
// through the platform's coercions and the settings' typed reads.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
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
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    putFile("/Users/fuzz/Library/Preferences/org.vell.app.shared.plist", bytes);
    readEverySetting();
    VellPreferences::migrateLegacyDomainIfNeeded();
    VellPreferences::setOwnsOverride(true);
    std::ifstream stored(homePath("/Library/Preferences/org.vell.app.shared.plist"));
    const std::string after{std::istreambuf_iterator<char>(stored), {}};
    if (!VellPreferences::ownsOverride() &&
        (VellPreferences::store()->synchronize() || after != bytes)) {
        __builtin_trap();  // a write lands, or says it failed and lost nothing
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
