// Any attribute values for a power supply in sysfs.
#include <cstddef>
#include <cstdint>
#include <string>

#include "VellShared/SafetyCutoff.hpp"
#include "fuzz/FuzzSupport.hpp"
#include "platform/power_sources.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzRoot();
    FuzzedDataProvider input(data, size);
    static const char* attributes[] = {"type",        "scope",       "present",
                                       "energy_now",  "energy_full", "charge_now",
                                       "charge_full", "capacity",    "status"};
    const std::string supply = "/sys/class/power_supply/BAT" +
                               std::to_string(input.ConsumeIntegralInRange<int>(0, 2)) + "/";
    for (const char* attribute : attributes) {
        if (input.ConsumeBool()) {
            putFile(supply + attribute, input.ConsumeRandomLengthString(32));
        }
    }
    (void)platform::copyPowerSourceDescriptions();
    (void)SafetyCutoff::battery();
    return 0;
}
