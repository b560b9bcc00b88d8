// Defaults suites: named property-list stores shared between processes.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/property_list.hpp"

namespace platform {

// One open suite. Every operation goes to storage: what another process
// wrote a moment ago is what the next read sees.
class SettingsSuite {
  public:
    virtual ~SettingsSuite() = default;

    // The stored object, whatever its type; absent when the key is missing.
    virtual std::optional<PropertyListValue> objectForKey(const std::string& key) = 0;
    // The platform's Boolean coercion; false when the key is missing.
    virtual bool boolForKey(const std::string& key) = 0;
    // The platform's string coercion; absent when the key is missing.
    virtual std::optional<std::string> stringForKey(const std::string& key) = 0;

    virtual void setBoolForKey(bool value, const std::string& key) = 0;
    // Stores the object unchanged; an absent object removes the key.
    virtual void setObjectForKey(const std::optional<PropertyListValue>& value,
                                 const std::string& key) = 0;

    // Writes pending changes through to storage; false when that failed.
    virtual bool synchronize() = 0;

    // A configuration profile forces the key's value: reads give the
    // profile's, whatever is written.
    virtual bool isForced(const std::string& key) = 0;
};

// The suite named `name`, or nothing when it can't be opened. An empty name,
// or one containing "/", never opens.
std::unique_ptr<SettingsSuite> openSettingsSuite(const std::string& name);

// The process's own defaults; always there.
std::unique_ptr<SettingsSuite> standardSettings();

}  // namespace platform
