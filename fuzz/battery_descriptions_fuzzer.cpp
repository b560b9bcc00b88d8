// Any power-source descriptions, of any property-list values, through the
// battery rule and the cutoff.
#include <cstddef>
#include <cstdint>

#include "VellShared/SafetyCutoff.hpp"
#include "fuzz/FuzzSupport.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<PropertyListDictionary> descriptions;
    const int count = input.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < count; ++i) {
        descriptions.push_back(fuzzDictionary(input));
    }
    const auto battery = SafetyCutoff::battery(descriptions);
    const auto thermal =
        static_cast<platform::ThermalState>(input.ConsumeIntegralInRange<int>(0, 3));
    (void)SafetyCutoff::reason(battery, thermal, input.ConsumeBool());
    return 0;
}
