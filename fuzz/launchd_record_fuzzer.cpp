// Any bytes as the launchd job in the app bundle, registered and removed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.hpp"
#include "platform/launchd.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzRoot();
    const std::string name = "org.vell.app.dealer.plist";
    putFile("/Applications/Vell.app/Contents/Library/LaunchAgents/" + name,
            std::string(reinterpret_cast<const char*>(data), size));
    if (!platform::registerAgentService(name, "/Applications/Vell.app")) {
        if (platform::unregisterAgentService(name)) {
            __builtin_trap();  // what was registered can be unregistered
        }
    }
    return 0;
}
