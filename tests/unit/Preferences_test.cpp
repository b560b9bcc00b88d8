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

// The threshold is a whole percentage from 1 to 99; holds own the wish only by a stored true.
TEST_F(PreferencesTest, TheThresholdAndTheHoldsWishReadOnlyWhatTheyCanMean) {
    const std::vector<std::tuple<std::optional<PropertyListValue>, std::int64_t, bool>> cases = {
        {std::nullopt, 10, false}, {0, 10, false},   {1, 1, true},      {99.0, 99, false},
        {100, 10, false},          {true, 10, true}, {"20", 10, false}, {false, 10, false}};
    for (const auto& [stored, threshold, forHolds] : cases) {
        fake().shared().clear();
        if (stored) {
            fake().shared() = {{P::lowBatteryThresholdKey, *stored},
                               {P::wantedForHoldsKey, *stored}};
        }
        EXPECT_EQ(P::lowBatteryThreshold(), threshold);
        EXPECT_EQ(P::wantedForHolds(), forHolds);
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
    ASSERT_NE(P::store(), nullptr);
    P::setWanted(true);
    EXPECT_TRUE(P::wanted());
    EXPECT_EQ(fake().suites["standard"].at("vellWanted"), PropertyListValue(true));
    EXPECT_EQ(fake().suites.count(P::domain), 0u);
}

const PropertyListDictionary legacy = {{"vellWanted", true},
                                       {"caffeinateAtLaunch", false},
                                       {"lowBatteryCutoff", true},
                                       {"cutoffReason", "old"}};

TEST_F(PreferencesTest, MigrationCopiesTheListedKeysOnceIntoASharedSuiteWithoutAny) {
    // clang-format off
    // legacy: absent when the suite does not open.
    const struct { const char* name; PropertyListDictionary shared; std::optional<PropertyListDictionary> legacy; std::vector<std::string> copied; } rows[] = {
        {"OnlyListedKeysTheLegacySuiteHas", {{"lowBatteryCutoff", false}}, legacy,                             {"set vellWanted=true", "set caffeinateAtLaunch=false"}},
        {"SharedHasAListedKeyEvenFalse",    {{"vellOwnsOverride", false}}, legacy,                             {}},
        {"NothingListedInTheLegacySuite",   {},                            {{{"cutoffReason", "old"}}}, {}},
        {"NoLegacySuite",                   {},                            std::nullopt,                       {}},
    };
    // clang-format on
    forEachRow(rows, [](const auto& r) {
        fake().shared() = r.shared;
        if (r.legacy) {
            fake().suites["org.vell.shared"] = *r.legacy;
        } else {
            fake().unopenableSuites.insert("org.vell.shared");
        }
        P::migrateLegacyDomainIfNeeded();
        P::migrateLegacyDomainIfNeeded();
        EXPECT_EQ(callsStartingWith({"set"}), r.copied);
    });
}

}  // namespace
