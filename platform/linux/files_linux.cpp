#include "platform/files.hpp"

#include <sys/stat.h>

#include "platform/linux/property_list_cache.hpp"
#include "platform/linux/system_root.hpp"

namespace platform {

bool fileExists(const std::string& path) {
    struct stat status {};
    return ::stat(linux_host::rootedPath(path).c_str(), &status) == 0;
}

std::shared_ptr<const PropertyListDictionary> readDictionaryFile(const std::string& path) {
    return linux_host::currentDictionary(linux_host::rootedPath(path));
}

}  // namespace platform
