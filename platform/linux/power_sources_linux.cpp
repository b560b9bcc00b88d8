// The power sources are the folders under root/sys/class/power_supply/, in
// name order. Each battery among them gives one description with the keys
// the Mac publishes.
#include "platform/power_sources.hpp"

#include <array>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/linux/folder_changes.hpp"
#include "platform/linux/sysfs.hpp"
#include "platform/linux/system_root.hpp"

namespace platform {
namespace {

using linux_host::FolderChanges;
using linux_host::parseInteger;

// The attributes a description is made of.
enum Attribute {
    type,
    scope,
    present,
    energyNow,
    energyFull,
    chargeNow,
    chargeFull,
    capacity,
    status,
    attributeCount
};
constexpr std::array<const char*, attributeCount> attributeFiles = {
    "type",       "scope",       "present",  "energy_now", "energy_full",
    "charge_now", "charge_full", "capacity", "status"};

using Texts = std::array<std::optional<std::string>, attributeCount>;

std::optional<PropertyListValue> integer(const std::optional<std::string>& text) {
    const auto value = text ? parseInteger(*text) : std::nullopt;
    if (!value) {
        return std::nullopt;
    }
    return PropertyListValue(static_cast<long long>(*value));
}

// Sets `key` to `value`, or removes it when absent, reusing the entry already
// there, so that an update allocates nothing.
void assign(PropertyListDictionary& description,
            std::string_view key,
            std::optional<PropertyListValue> value) {
    const auto found = description.find(key);
    if (!value) {
        if (found != description.end()) {
            description.erase(found);
        }
        return;
    }
    if (found != description.end()) {
        found->second = std::move(*value);
        return;
    }
    description.emplace(std::string(key), std::move(*value));
}

// The first family with either file decides; a bare percentage otherwise.
void assignCapacities(const Texts& texts, PropertyListDictionary& description) {
    std::optional<PropertyListValue> current, maximum;
    for (const auto& [now, full] : {std::pair{energyNow, energyFull}, {chargeNow, chargeFull}}) {
        current = integer(texts[now]);
        maximum = integer(texts[full]);
        if (current || maximum) {
            break;
        }
    }
    if (!current && !maximum) {
        current = integer(texts[capacity]);
        if (current) {
            maximum = PropertyListValue(100);
        }
    }
    assign(description, "Current Capacity", std::move(current));
    assign(description, "Max Capacity", std::move(maximum));
}

// The keys that `attribute` goes into, set again.
void describeAttribute(const Texts& texts, PropertyListDictionary& description, int attribute) {
    switch (attribute) {
        case type:
            return;
        case scope: {
            // A peripheral's battery (a mouse, say) is not the machine's.
            const bool peripheral = texts[scope] == "Device";
            assign(description, "Type",
                   PropertyListValue(peripheral ? "Accessory Source" : "InternalBattery"));
            return;
        }
        case present: {
            std::optional<PropertyListValue> isPresent;
            if (texts[present] == "1" || texts[present] == "0") {
                isPresent = PropertyListValue(texts[present] == "1");
            }
            assign(description, "Is Present", std::move(isPresent));
            return;
        }
        case status: {
            const bool discharging = texts[status] == "Discharging";
            assign(description, "Power Source State",
                   PropertyListValue(discharging ? "Battery Power" : "AC Power"));
            return;
        }
        default:
            assignCapacities(texts, description);
            return;
    }
}

void describeBattery(const Texts& texts, PropertyListDictionary& description) {
    for (const int attribute : {scope, present, capacity, status}) {
        describeAttribute(texts, description, attribute);
    }
}

struct Supply {
    std::string name;
    std::string folder;
    Texts texts;
    // Where its description stands, when it is a battery.
    std::optional<std::size_t> description;

    bool isBattery() const { return texts[type] == "Battery"; }
    // Whether the text changed.
    bool read(int attribute) {
        std::optional<std::string> text =
            linux_host::readAttribute(folder, attributeFiles[attribute]);
        if (text == texts[attribute]) {
            return false;
        }
        texts[attribute] = std::move(text);
        return true;
    }
    void readAll() {
        for (int attribute = 0; attribute < attributeCount; ++attribute) {
            read(attribute);
        }
    }
};

// Like the Mac's power daemon, the stand-in keeps its last reading until the
// power supplies change, and then reads again only what changed.
class PowerSupplies {
  public:
    std::shared_ptr<const PowerSourceDescriptions> current() {
        if (!changes_ || !linux_host::isSystemRoot(root_)) {
            root_ = linux_host::systemRoot();
            changes_.emplace(root_ + "/sys/class/power_supply");
        }
        switch (changes_->changesSinceLastAsked()) {
            case FolderChanges::Extent::nothing:
                break;
            case FolderChanges::Extent::someFiles:
                if (!readChangedFiles()) {
                    readAll();
                }
                break;
            case FolderChanges::Extent::anything:
                readAll();
                break;
        }
        return descriptions_;
    }

  private:
    void readAll() {
        supplies_.clear();
        for (const std::string& name : linux_host::sortedEntries(changes_->folder())) {
            supplies_.push_back({name, changes_->folder() + "/" + name, {}, std::nullopt});
            supplies_.back().readAll();
        }
        describeAll();
    }

    void describeAll() {
        auto descriptions = std::make_shared<PowerSourceDescriptions>();
        for (Supply& supply : supplies_) {
            supply.description.reset();
            if (supply.isBattery()) {
                supply.description = descriptions->size();
                describeBattery(supply.texts, descriptions->emplace_back());
            }
        }
        descriptions_ = std::move(descriptions);
    }

    // Reads again each changed attribute; false when a change is not one
    // of a known supply's, so that all must be read.
    bool readChangedFiles() {
        bool batteriesChanged = false;
        for (const auto& [folder, file] : changes_->changedFiles()) {
            Supply* supply = find(*folder);
            if (supply == nullptr) {
                return false;
            }
            // The folder itself changed: all of it may have.
            for (int attribute = 0; attribute < attributeCount; ++attribute) {
                const bool named = file.empty() || file == attributeFiles[attribute];
                if (!named || !supply->read(attribute)) {
                    continue;
                }
                if (supply->isBattery() != supply->description.has_value()) {
                    batteriesChanged = true;
                } else if (supply->description) {
                    describeAttribute(supply->texts, writableDescriptions()[*supply->description],
                                      attribute);
                }
            }
        }
        if (batteriesChanged) {
            describeAll();
        }
        return true;
    }

    Supply* find(const std::string& name) {
        for (Supply& supply : supplies_) {
            if (supply.name == name) {
                return &supply;
            }
        }
        return nullptr;
    }

    // The descriptions, copied first if a caller still holds them.
    PowerSourceDescriptions& writableDescriptions() {
        if (descriptions_.use_count() > 1) {
            descriptions_ = std::make_shared<PowerSourceDescriptions>(*descriptions_);
        }
        return *descriptions_;
    }

    std::string root_;
    std::optional<FolderChanges> changes_;
    std::vector<Supply> supplies_;
    std::shared_ptr<PowerSourceDescriptions> descriptions_ =
        std::make_shared<PowerSourceDescriptions>();
};

}  // namespace

// Never destroyed: the thermal watcher's thread may still be running while
// the process exits.
std::shared_ptr<const PowerSourceDescriptions> copyPowerSourceDescriptions() {
    static auto* mutex = new std::mutex;
    static auto* supplies = new PowerSupplies;
    std::lock_guard<std::mutex> lock(*mutex);
    return supplies->current();
}

}  // namespace platform
