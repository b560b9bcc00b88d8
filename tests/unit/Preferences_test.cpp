#include "VellShared/Preferences.hpp"

#include "tests/unit/FakeTest.hpp"

namespace {

using PreferencesTest = FakeTest;
namespace P = VellPreferences;

TEST_F(PreferencesTest, UntypedBooleansReadAsBooleansOrElseTrue) {
    // clang-format off
    const std::vector<std::pair<std::optional<PropertyListValue>, bool>> cases = {
        {std::nullopt, true}, {false, false}, {0.0, false}, {1, true}, {2, true}, {"NO", true},
        {PropertyListArray{}, true}};
    // clang-format on
    for (const auto& [stored, expected] : cases) {
        fake().shared().clear();
        if (stored) {
            fake().shared() = {{P::lowBatteryCutoffKey, *stored},
                               {P::priorCaffeinateKey, *stored},
                               {P::caffeinateAtLaunchKey, *stored}};
        }
        EXPECT_EQ(P::lowBatteryCutoff(), expected);
        EXPECT_EQ(P::priorCaffeinate(), expected);
        EXPECT_EQ(P::caffeinateAtLaunch(), expected);
    }
}

TEST_F(PreferencesTest, AnAbsentCutoffReasonRemovesTheKey) {
    P::setCutoffReason("Vell turned off: Mac is too hot");
    EXPECT_EQ(P::cutoffReason(), "Vell turned off: Mac is too hot");
    P::setCutoffReason(std::nullopt);
    EXPECT_EQ(fake().shared().count(P::cutoffReasonKey), 0u);
}

TEST_F(PreferencesTest, AnUnopenableSuiteFallsBackToTheStandardDefaults) {
    fake().unopenableSuites.insert(P::domain);
    P::setWanted(true);
    EXPECT_TRUE(P::wanted());
    EXPECT_EQ(fake().suites["standard"].at("vellWanted"), PropertyListValue(true));
    EXPECT_EQ(fake().suites.count(P::domain), 0u);
}

struct MigrationRow {
    const char* name;
    PropertyListDictionary shared;
    std::optional<PropertyListDictionary> legacy;  // absent: the suite does not open
    std::vector<std::string> copied;
};

class Migration : public FakeTest, public ::testing::WithParamInterface<MigrationRow> {};

TEST_P(Migration, CopiesTheListedKeysOnceIntoASharedSuiteWithoutAny) {
    const MigrationRow& r = GetParam();
    fake().shared() = r.shared;
    if (r.legacy) {
        fake().suites["org.vell.shared"] = *r.legacy;
    } else {
        fake().unopenableSuites.insert("org.vell.shared");
    }
    P::migrateLegacyDomainIfNeeded();
    P::migrateLegacyDomainIfNeeded();
    EXPECT_EQ(callsStartingWith({"set"}), r.copied);
}

const PropertyListDictionary legacy = {{"vellWanted", true},
                                       {"caffeinateAtLaunch", false},
                                       {"lowBatteryCutoff", true},
                                       {"cutoffReason", "old"}};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Situations, Migration, ::testing::Values(
    MigrationRow{"OnlyListedKeysTheLegacySuiteHas", {{"lowBatteryCutoff", false}}, legacy,                             {"set vellWanted=true", "set caffeinateAtLaunch=false"}},
    MigrationRow{"SharedHasAListedKeyEvenFalse",    {{"vellOwnsOverride", false}}, legacy,                             {}},
    MigrationRow{"NothingListedInTheLegacySuite",   {},                            {{{"cutoffReason", "old"}}}, {}},
    MigrationRow{"NoLegacySuite",                   {},                            std::nullopt,                       {}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
