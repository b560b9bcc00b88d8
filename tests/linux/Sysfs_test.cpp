// Power sources and thermal state from sysfs trees written by the tests.
#include <gtest/gtest.h>

#include <filesystem>

#include "VellShared/SafetyCutoff.hpp"
#include "platform/power_sources.hpp"
#include "platform/thermal_state.hpp"
#include "tests/support/SimulatedMac.hpp"

namespace fs = std::filesystem;
using platform::ThermalState;

namespace {

class Sysfs : public ::testing::Test {
  protected:
    TempDir root;
    ScopedEnvironment rootVariable{"VELL_SYSTEM_ROOT", root.path()};

    void supply(const std::string& name, const std::map<std::string, std::string>& attributes) {
        for (const auto& [attribute, value] : attributes) {
            writeFile(root.path() + "/sys/class/power_supply/" + name + "/" + attribute, value);
        }
    }
    void zone(int index, const std::string& temp, const std::vector<std::string>& trips) {
        const std::string folder =
            root.path() + "/sys/class/thermal/thermal_zone" + std::to_string(index);
        writeFile(folder + "/temp", temp);
        for (std::size_t i = 0; i < trips.size(); i += 2) {
            const std::string prefix = folder + "/trip_point_" + std::to_string(i / 2);
            writeFile(prefix + "_type", trips[i]);
            writeFile(prefix + "_temp", trips[i + 1]);
        }
    }
};

TEST_F(Sysfs, NoFolderOrNoBatteryMeansNoSources) {
    EXPECT_EQ(platform::copyPowerSourceDescriptions()->size(), 0u);
    supply("AC", {{"type", "Mains\n"}, {"online", "1\n"}});
    EXPECT_EQ(platform::copyPowerSourceDescriptions()->size(), 0u);
    EXPECT_EQ(SafetyCutoff::battery(), std::nullopt);
}

// Readings are kept between changes; every change is seen by the next read.
TEST_F(Sysfs, EveryChangeIsSeenByTheNextRead) {
    EXPECT_EQ(SafetyCutoff::battery(), std::nullopt);
    supply("BAT0", {{"type", "Battery"}, {"capacity", "50"}, {"status", "Discharging"}});
    EXPECT_EQ(SafetyCutoff::battery(), (SafetyCutoff::Battery{true, 50}));
    supply("BAT0", {{"capacity", "49"}});
    EXPECT_EQ(SafetyCutoff::battery(), (SafetyCutoff::Battery{true, 49}));
    fs::remove_all(root.path() + "/sys/class/power_supply/BAT0");
    EXPECT_EQ(SafetyCutoff::battery(), std::nullopt);
    supply("BAT1", {{"type", "Battery"}, {"capacity", "7"}, {"status", "Charging"}});
    EXPECT_EQ(SafetyCutoff::battery(), (SafetyCutoff::Battery{false, 7}));
}

TEST_F(Sysfs, ABatteryGivesTheMacsKeysFromEnergyChargeOrCapacity) {
    supply("BAT0", {{"type", "Battery\n"},
                    {"present", "1\n"},
                    {"energy_now", "9000\n"},
                    {"energy_full", "100000\n"},
                    {"status", "Discharging\n"}});
    supply("BAT1", {{"type", "Battery"},
                    {"charge_now", "50"},
                    {"charge_full", "100"},
                    {"status", "Charging"}});
    supply("BAT2", {{"type", "Battery"}, {"present", "0"}, {"capacity", "42"}});
    const auto sources = platform::copyPowerSourceDescriptions();
    ASSERT_EQ(sources->size(), 3u);
    const PropertyListDictionary first{{"Type", "InternalBattery"},
                                       {"Is Present", true},
                                       {"Current Capacity", 9000},
                                       {"Max Capacity", 100000},
                                       {"Power Source State", "Battery Power"}};
    EXPECT_EQ((*sources)[0], first);
    EXPECT_EQ((*sources)[1].at("Current Capacity"), PropertyListValue(50));
    EXPECT_EQ((*sources)[1].at("Power Source State"), PropertyListValue("AC Power"));
    EXPECT_EQ((*sources)[1].count("Is Present"), 0u);
    EXPECT_EQ((*sources)[2].at("Is Present"), PropertyListValue(false));
    EXPECT_EQ((*sources)[2].at("Max Capacity"), PropertyListValue(100));
    EXPECT_EQ(SafetyCutoff::battery(), (SafetyCutoff::Battery{true, 9}));
}

TEST_F(Sysfs, APeripheralsBatteryIsNotTheMachines) {
    supply(
        "hid-mouse",
        {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "3"}, {"status", "Discharging"}});
    EXPECT_EQ(platform::copyPowerSourceDescriptions()->at(0).at("Type"),
              PropertyListValue("Accessory Source"));
    EXPECT_EQ(SafetyCutoff::battery(), std::nullopt);
}

TEST_F(Sysfs, GarbageAttributesLeaveTheirKeysOut) {
    supply("BAT0", {{"type", "Battery"},
                    {"present", "maybe"},
                    {"energy_now", "12abc"},
                    {"energy_full", "99999999999999999999999"},
                    {"status", "\xff\xfe"}});
    supply("BAT1", {{"type", "Battery"}, {"capacity", std::string(10000, '7')}});
    const auto sources = platform::copyPowerSourceDescriptions();
    ASSERT_EQ(sources->size(), 2u);
    const PropertyListDictionary garbled{{"Type", "InternalBattery"},
                                         {"Power Source State", "AC Power"}};
    EXPECT_EQ((*sources)[0], garbled);
    EXPECT_EQ((*sources)[1].count("Current Capacity"), 0u);
    EXPECT_EQ(SafetyCutoff::battery(), std::nullopt);
}

TEST_F(Sysfs, TheHottestZoneAgainstItsTripPointsGivesTheState) {
    EXPECT_EQ(platform::currentThermalState(), ThermalState::nominal);
    const std::vector<std::string> trips = {"passive", "80000",    "hot",
                                            "90000",   "critical", "100000"};
    zone(0, "50000", trips);
    EXPECT_EQ(platform::currentThermalState(), ThermalState::nominal);
    zone(1, "80000", trips);
    EXPECT_EQ(platform::currentThermalState(), ThermalState::fair);
    zone(1, "95000", trips);
    EXPECT_EQ(platform::currentThermalState(), ThermalState::serious);
    zone(0, "100000", trips);
    EXPECT_EQ(platform::currentThermalState(), ThermalState::critical);
}

TEST_F(Sysfs, GarbageTemperaturesCountForNothing) {
    zone(0, "very hot", {"critical", "100000"});
    zone(1, "120000", {"critical", "lots", "active", "0"});
    zone(2, "", {});
    EXPECT_EQ(platform::currentThermalState(), ThermalState::nominal);
}

}  // namespace
