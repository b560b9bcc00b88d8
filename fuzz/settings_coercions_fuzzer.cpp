// Any stored value under each key, read back through the platform's
// coercions and the settings' typed reads.
#include <cstddef>
#include <cstdint>

#include "VellShared/Preferences.hpp"
#include "VellShared/PropertyListReads.hpp"
#include "fuzz/FuzzSupport.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzRoot();
    FuzzedDataProvider input(data, size);
    const PropertyListValue value = fuzzValue(input);
    const auto suite = VellPreferences::store();
    for (const char* key : {VellPreferences::wantedKey, VellPreferences::lowBatteryCutoffKey,
                            VellPreferences::cutoffReasonKey}) {
        suite->setObjectForKey(value, key);
    }
    (void)VellPreferences::wanted();
    (void)VellPreferences::lowBatteryCutoff();
    (void)VellPreferences::cutoffReason();
    (void)readBoolean(value);
    (void)readInteger(value);
    (void)readString(value);
    return 0;
}
