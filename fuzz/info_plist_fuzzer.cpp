// Any bytes as the app bundle's Info.plist.
#include <cstddef>
#include <cstdint>
#include <string>

#include "VellShared/PropertyListReads.hpp"
#include "fuzz/FuzzSupport.hpp"
#include "platform/files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzRoot();
    putFile("/Applications/Vell.app/Contents/Info.plist",
            std::string(reinterpret_cast<const char*>(data), size));
    if (const auto info =
            platform::readDictionaryFile("/Applications/Vell.app/Contents/Info.plist")) {
        (void)readString(*info, "CFBundleIdentifier");
    }
    return 0;
}
