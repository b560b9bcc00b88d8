// Any bytes as each property-list file the system reads: the app bundle's
// Info.plist, the registry entry that holds the sleep override, and the
// launchd job in the app bundle, registered and removed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "VellShared/PowerTool.hpp"
#include "VellShared/PropertyListReads.hpp"
#include "fuzz/FuzzSupport.hpp"
#include "platform/files.hpp"
#include "platform/launchd.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzRoot();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string info = "/Applications/Vell.app/Contents/Info.plist";
    const std::string job = "org.vell.app.dealer.plist";
    putFile(info, bytes);
    putFile("/IORegistry/IOPMrootDomain.plist", bytes);
    putFile("/Applications/Vell.app/Contents/Library/LaunchAgents/" + job, bytes);
    if (const auto dictionary = platform::readDictionaryFile(info)) {
        (void)readString(*dictionary, "CFBundleIdentifier");
    }
    (void)PowerTool::sleepDisabled();
    if (!platform::registerAgentService(job, "/Applications/Vell.app")) {
        if (platform::unregisterAgentService(job)) {
            __builtin_trap();  // what was registered can be unregistered
        }
    }
    return 0;
}
