// Any text in place of what `sudo -k -n -l` prints.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "VellCompanion/SudoListing.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view listing(reinterpret_cast<const char*>(data), size);
    (void)VellCompanion::listingLetsPmsetRunWithoutPassword(listing);
    return 0;
}
