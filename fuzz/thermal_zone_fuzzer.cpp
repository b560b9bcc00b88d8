// Any temperature and trip points for a thermal zone in sysfs.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.hpp"
#include "platform/thermal_state.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzRoot();
    FuzzedDataProvider input(data, size);
    const std::string zone = "/sys/class/thermal/thermal_zone" +
                             std::to_string(input.ConsumeIntegralInRange<int>(0, 2)) + "/";
    putFile(zone + "temp", input.ConsumeRandomLengthString(24));
    const int trips = input.ConsumeIntegralInRange<int>(0, 4);
    for (int trip = 0; trip < trips; ++trip) {
        const std::string prefix = zone + "trip_point_" + std::to_string(trip);
        putFile(prefix + "_type", input.ConsumeRandomLengthString(16));
        putFile(prefix + "_temp", input.ConsumeRandomLengthString(24));
    }
    const int state = static_cast<int>(platform::currentThermalState());
    if (state < 0 || state > 3) {
        __builtin_trap();
    }
    return 0;
}
