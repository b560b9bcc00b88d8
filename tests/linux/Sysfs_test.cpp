// Power sources and thermal state from sysfs trees written by the tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "VellShared/SafetyCutoff.hpp"
#include "platform/power_sources.hpp"
#include "platform/thermal_state.hpp"
#include "tests/support/SimulatedMac.hpp"

namespace fs = std::filesystem;

namespace {

class Sysfs : public ::testing::Test {
  protected:
    TempDir root;
    ScopedEnvironment rootVariable{"VELL_SYSTEM_ROOT", root.path()};
    const std::string sys = root.path() + "/sys/class/";

    void supply(const std::string& name, const std::map<std::string, std::string>& attributes) {
        for (const auto& [attribute, value] : attributes) {
            writeFile(sys + "power_supply/" + name + "/" + attribute, value);
        }
    }
    using Trips = std::vector<std::string>;
    void zone(int index, const std::string& temp, const Trips& trips) {
        const std::string folder = sys + "thermal/thermal_zone" + std::to_string(index);
        writeFile(folder + "/temp", temp);
        for (std::size_t i = 0; i < trips.size(); i += 2) {
            writeFile(folder + "/trip_point_" + std::to_string(i / 2) + "_type", trips[i]);
            writeFile(folder + "/trip_point_" + std::to_string(i / 2) + "_temp", trips[i + 1]);
        }
    }
};

// Each step changes one attribute (empty: removes it; ".": sets the folder's mode again) and reads
// again. BAT0 links to its device's folder, as sysfs lists it; "../capacity" is another link to
// its capacity file, whose writes no event announces: the reading is kept until one that is.
TEST_F(Sysfs, EveryChangeAndEveryRootIsSeenByTheNextRead) {
    using SafetyCutoff::Battery;
    fs::create_directories(root.path() + "/devices/BAT0");
    fs::create_directories(sys + "power_supply");
    fs::create_directory_symlink(root.path() + "/devices/BAT0", sys + "power_supply/BAT0");
    supply("BAT0", {{"type", "Battery"}, {"capacity", "50"}, {"status", "Discharging"}});
    fs::create_hard_link(root.path() + "/devices/BAT0/capacity", root.path() + "/devices/capacity");
    EXPECT_EQ(SafetyCutoff::battery(), (Battery{true, 50}));
    const std::vector<std::tuple<std::string, std::string, std::optional<Battery>>> steps = {
        {"capacity", "49", Battery{true, 49}},  {"../capacity", "48", Battery{true, 49}},
        {"status", "Full", Battery{false, 49}}, {".", "", Battery{false, 48}},
        {"type", "Mains", std::nullopt},        {"type", "Battery", Battery{false, 48}},
        {"energy_full", "200", std::nullopt},   {"energy_now", "50", Battery{false, 25}},
        {"energy_full", "", std::nullopt},      {"energy_now", "", Battery{false, 48}},
        {"present", "0", std::nullopt},         {"present", "1", Battery{false, 48}},
    };
    for (const auto& [attribute, value, expected] : steps) {
        const std::string file = sys + "power_supply/BAT0/" + attribute;
        if (attribute == ".") {
            fs::permissions(file, fs::perms::owner_all, fs::perm_options::add);
        } else {
            value.empty() ? void(fs::remove(file)) : writeFile(file, value);
        }
        EXPECT_EQ(SafetyCutoff::battery(), expected) << attribute << " " << value;
    }
    {
        TempDir other;
        ScopedEnvironment otherRoot("VELL_SYSTEM_ROOT", other.path());
        EXPECT_EQ(*platform::copyPowerSourceDescriptions(), platform::PowerSourceDescriptions{});
        writeFile(other.path() + "/sys/class/power_supply/BAT0/type", "Battery");
        EXPECT_EQ(platform::copyPowerSourceDescriptions()->size(), 1u) << "a folder that appears";
    }
    // A supply that appears is watched; many writes, to two supplies, are all read at once.
    supply("BAT1", {{"type", "Battery"}, {"capacity", "30"}});
    const auto before = platform::copyPowerSourceDescriptions();
    EXPECT_EQ(SafetyCutoff::battery({before->at(1)}), (Battery{false, 30}));
    supply("BAT1", {{"capacity", "31"}});
    for (int write = 0; write < 200; ++write) {
        supply("BAT0", {{"capacity", "10"}});
    }
    supply("BAT0", {{"status", "Discharging"}});
    const auto after = platform::copyPowerSourceDescriptions();
    EXPECT_EQ(SafetyCutoff::battery({after->at(1)}), (Battery{false, 31}));
    EXPECT_EQ(SafetyCutoff::battery(*after), (Battery{true, 10}));
    EXPECT_EQ(SafetyCutoff::battery(*before), (Battery{false, 48}))
        << "a reading handed out changed";
    {
        ScopedEnvironment realRoot("VELL_SYSTEM_ROOT", "");
        EXPECT_NE(*platform::copyPowerSourceDescriptions(), *after) << "the real root's supplies";
    }
    fs::remove_all(sys + "power_supply");
    EXPECT_EQ(SafetyCutoff::battery(), std::nullopt);
}

// What doesn't read as a number or a known word is left out; mains is no source.
TEST_F(Sysfs, ABatteryGivesTheMacsKeysFromEnergyChargeOrCapacity) {
    const std::string type = "Type", present = "Is Present", now = "Current Capacity",
                      full = "Max Capacity", state = "Power Source State";
    const char *internal = "InternalBattery", *ac = "AC Power", *battery = "Battery Power";
    // clang-format off
    const std::vector<std::pair<std::map<std::string, std::string>, PropertyListDictionary>> cases = {
        {{{"present", "1"}, {"energy_now", "9000"}, {"energy_full", "100000"}, {"status", "Discharging"}}, {{type, internal}, {present, true}, {now, 9000}, {full, 100000}, {state, battery}}},
        {{{"charge_now", "50"}, {"charge_full", "60"}, {"status", "Charging"}}, {{type, internal}, {now, 50}, {full, 60}, {state, ac}}},
        {{{"present", "0"}, {"capacity", "42"}}, {{type, internal}, {present, false}, {now, 42}, {full, 100}, {state, ac}}},
        {{{"energy_now", "9000"}, {"capacity", "42"}}, {{type, internal}, {now, 9000}, {state, ac}}},
        {{{"scope", "Device"}, {"capacity", "3"}, {"status", "Discharging"}}, {{type, "Accessory Source"}, {now, 3}, {full, 100}, {state, battery}}},
        {{{"present", "maybe"}, {"energy_now", "12abc"}, {"energy_full", "99999999999999999999999"}, {"status", "\xff"}}, {{type, internal}, {state, ac}}},
        {{{"capacity", std::string(4094, ' ') + "42"}}, {{type, internal}, {now, 42}, {full, 100}, {state, ac}}},
        {{{"capacity", std::string(4095, ' ') + "42"}, {"energy_now/x", ""}}, {{type, internal}, {state, ac}}},
    };
    // clang-format on
    supply("AC", {{"type", "Mains\n"}, {"online", "1\n"}});
    std::vector<PropertyListDictionary> expected;
    for (const auto& [attributes, keys] : cases) {
        supply("BAT" + std::to_string(expected.size()), attributes);
        supply("BAT" + std::to_string(expected.size()), {{"type", "Battery\n"}});
        expected.push_back(keys);
    }
    EXPECT_EQ(*platform::copyPowerSourceDescriptions(), expected);
    EXPECT_EQ(SafetyCutoff::battery(), (SafetyCutoff::Battery{true, 9}));
}

// A reading that isn't a number counts for nothing.
TEST_F(Sysfs, TheHottestZoneAgainstItsTripPointsGivesTheState) {
    using enum platform::ThermalState;
    const Trips trips = {"passive", "80000", "hot", "90000", "critical", "100000"};
    const std::vector<std::tuple<int, std::string, Trips, platform::ThermalState>> steps = {
        {0, "very hot", {"critical", "100000"}, nominal},
        {1, "120000", {"critical", "lots", "active", "0"}, nominal},
        {3, "50000", trips, nominal},
        {4, "80000", trips, fair},
        {5, "85000", {"", "0", "hot", "85000"}, serious},
        {4, "95000", trips, serious},
        {3, "100000", trips, critical},
    };
    for (const auto& [index, temp, zoneTrips, state] : steps) {
        zone(index, temp, zoneTrips);
        EXPECT_EQ(platform::currentThermalState(), state) << index << ": " << temp;
    }
    // A write no event announces is seen only once the root changes.
    fs::create_hard_link(sys + "thermal/thermal_zone3/temp", root.path() + "/temp");
    for (const char* temp : {"100000", "0"}) {
        writeFile(root.path() + "/temp", temp);
        EXPECT_EQ(platform::currentThermalState(), critical) << temp;
    }
    {
        TempDir other;
        ScopedEnvironment otherRoot("VELL_SYSTEM_ROOT", other.path());
        EXPECT_EQ(platform::currentThermalState(), nominal);
    }
    EXPECT_EQ(platform::currentThermalState(), serious);
}

}  // namespace
