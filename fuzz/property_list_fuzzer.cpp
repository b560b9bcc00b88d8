// Any bytes through the guarded property-list parser that every file of the
// stand-in goes through, then back out as XML and in again.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/linux/property_list_file.hpp"

using namespace platform::linux_host;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto root = parsePropertyList(bytes);
    if (!root) {
        return 0;
    }
    const PropertyListValue value = valueFromNode(root->get());
    const ScopedPlist again = nodeFromValue(value);
    const auto reparsed = parsePropertyList(toXml(again.get()));
    if (!reparsed) {
        __builtin_trap();  // what we wrote must read back
    }
    return 0;
}
