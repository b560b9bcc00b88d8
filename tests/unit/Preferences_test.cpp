#include "VellShared/Preferences.hpp"

#include "tests/unit/FakeTest.hpp"

namespace {

using PreferencesTest = FakeTest;
namespace P = VellPreferences;

// Untyped Booleans read as booleans or else true; the holds' wish only from a true; the
// threshold is a whole percentage from 1 to 99; a deadline only as a date that is a moment.
TEST_F(PreferencesTest, EachSettingReadsOnlyWhatItCanMean) {
    // clang-format off
    const std::vector<std::tuple<std::optional<PropertyListValue>, bool, bool, std::int64_t, std::optional<double>>> cases = {
        {PropertyListDate{5}, true, false, 10, 5.0}, {PropertyListDate{std::numeric_limits<double>::quiet_NaN()}, true, false, 10, {}}, {std::nullopt, true, false, 10, {}}, {false, false, false, 10, {}},
        {0.0, false, false, 10, {}}, {1, true, true, 1, {}}, {2, true, false, 2, {}}, {99.0, true, false, 99, {}},
        {100, true, false, 10, {}}, {"NO", true, false, 10, {}}, {PropertyListArray{}, true, false, 10, {}}, {true, true, true, 10, {}}};
    // clang-format on
    for (const auto& [stored, boolean, forHolds, threshold, until] : cases) {
        fake().shared().clear();
        for (const char* key :
             {P::lowBatteryCutoffKey, P::priorCaffeinateKey, P::caffeinateAtLaunchKey,
              P::wantedForHoldsKey, P::lowBatteryThresholdKey, P::wantedUntilKey}) {
            if (stored) {
                fake().shared()[key] = *stored;
            }
        }
        ASSERT_EQ(P::wantedUntil(), until);  // first: a wrong read of no date ends the binary
        EXPECT_EQ(
            std::vector({P::lowBatteryCutoff(), P::priorCaffeinate(), P::caffeinateAtLaunch()}),
            std::vector(3, boolean));
        EXPECT_EQ(P::wantedForHolds(), forHolds);
        EXPECT_EQ(P::lowBatteryThreshold(), threshold);
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
