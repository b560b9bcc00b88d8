// Any bytes as the registry entry that holds the sleep override.
#include <cstddef>
#include <cstdint>
#include <string>

#include "VellShared/PowerTool.hpp"
#include "fuzz/FuzzSupport.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzRoot();
    putFile("/IORegistry/IOPMrootDomain.plist",
            std::string(reinterpret_cast<const char*>(data), size));
    (void)PowerTool::sleepDisabled();
    return 0;
}
