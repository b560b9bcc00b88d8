// A property-list value as both platform layers hand it to the logic: the
// eight types a property list can hold, and nothing that belongs to an OS.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <variant>
#include <vector>

struct PropertyListDate {
    // Seconds since 2001-01-01 00:00:00 UTC, the reference date of property lists.
    double secondsSinceReferenceDate = 0;
    bool operator==(const PropertyListDate&) const = default;
};

using PropertyListData = std::vector<std::uint8_t>;

class PropertyListValue;
using PropertyListArray = std::vector<PropertyListValue>;
// Looked up by any string type, so that a key need not be copied to be found.
using PropertyListDictionary = std::map<std::string, PropertyListValue, std::less<>>;

class PropertyListValue {
  public:
    using Storage = std::variant<bool,
                                 std::int64_t,
                                 double,
                                 std::string,
                                 PropertyListData,
                                 PropertyListDate,
                                 PropertyListArray,
                                 PropertyListDictionary>;

    PropertyListValue() : storage_(false) {}
    PropertyListValue(bool value) : storage_(value) {}
    PropertyListValue(int value) : storage_(std::int64_t{value}) {}
    PropertyListValue(long value) : storage_(std::int64_t{value}) {}
    PropertyListValue(long long value) : storage_(static_cast<std::int64_t>(value)) {}
    PropertyListValue(double value) : storage_(value) {}
    // Without this a string literal would become a Boolean.
    PropertyListValue(const char* value) : storage_(std::string(value)) {}
    PropertyListValue(std::string value) : storage_(std::move(value)) {}
    PropertyListValue(PropertyListData value) : storage_(std::move(value)) {}
    PropertyListValue(PropertyListDate value) : storage_(value) {}
    PropertyListValue(PropertyListArray value) : storage_(std::move(value)) {}
    PropertyListValue(PropertyListDictionary value) : storage_(std::move(value)) {}

    template <typename T>
    const T* as() const {
        return std::get_if<T>(&storage_);
    }
    template <typename T>
    bool is() const {
        return std::holds_alternative<T>(storage_);
    }
    const Storage& storage() const { return storage_; }

    bool operator==(const PropertyListValue& other) const { return storage_ == other.storage_; }

  private:
    Storage storage_;
};
