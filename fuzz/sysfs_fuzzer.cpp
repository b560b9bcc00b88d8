// Any attribute values of a power supply, and any temperature and trip
// points of a thermal zone, in sysfs.
#include <cstddef>
#include <cstdint>
#include <string>

#include "VellShared/SafetyCutoff.hpp"
#include "fuzz/FuzzSupport.hpp"
#include "platform/power_sources.hpp"
#include "platform/thermal_state.hpp"

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
    const std::string zone = "/sys/class/thermal/thermal_zone" +
                             std::to_string(input.ConsumeIntegralInRange<int>(0, 2)) + "/";
    putFile(zone + "temp", input.ConsumeRandomLengthString(24));
    const int trips = input.ConsumeIntegralInRange<int>(0, 4);
    for (int trip = 0; trip < trips; ++trip) {
        const std::string prefix = zone + "trip_point_" + std::to_string(trip);
        putFile(prefix + "_type", input.ConsumeRandomLengthString(16));
        putFile(prefix + "_temp", input.ConsumeRandomLengthString(24));
    }
    (void)platform::copyPowerSourceDescriptions();
    (void)SafetyCutoff::battery();
    const int state = static_cast<int>(platform::currentThermalState());
    if (state < 0 || state > 3) {
        __builtin_trap();
    }
    return 0;
}
