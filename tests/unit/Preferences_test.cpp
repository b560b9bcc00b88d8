#include "VellShared/Preferences.hpp"

#include "tests/unit/FakeTest.hpp"

namespace {

using PreferencesTest = FakeTest;
namespace P = VellPreferences;

TEST_F(PreferencesTest, AnEmptySuiteReadsAsTheDefaults) {
    EXPECT_FALSE(P::wanted());
    EXPECT_FALSE(P::ownsOverride());
    EXPECT_TRUE(P::priorCaffeinate());
    EXPECT_TRUE(P::caffeinateAtLaunch());
    EXPECT_TRUE(P::lowBatteryCutoff());
    EXPECT_EQ(P::cutoffReason(), std::nullopt);
}

TEST_F(PreferencesTest, UntypedBooleansReadOnlyBooleansAndExactZeroOrOne) {
    const std::vector<std::pair<PropertyListValue, bool>> cases = {
        {false, false},
        {true, true},
        {0, false},
        {1, true},
        {0.0, false},
        {1.0, true},
        {2, true},
        {0.5, true},
        {"NO", true},
        {"0", true},
        {PropertyListDate{5}, true},
        {PropertyListArray{}, true},
    };
    for (const auto& [stored, expected] : cases) {
        fake().shared()[P::lowBatteryCutoffKey] = stored;
        fake().shared()[P::priorCaffeinateKey] = stored;
        fake().shared()[P::caffeinateAtLaunchKey] = stored;
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
    EXPECT_EQ(P::cutoffReason(), std::nullopt);
}

TEST_F(PreferencesTest, AnUnopenableSuiteFallsBackToTheStandardDefaults) {
    fake().unopenableSuites.insert(P::domain);
    P::setWanted(true);
    EXPECT_TRUE(P::wanted());
    EXPECT_EQ(fake().suites["standard"].at("vellWanted"), PropertyListValue(true));
    EXPECT_EQ(fake().suites.count(P::domain), 0u);
}

TEST_F(PreferencesTest, MigrationStopsWhenTheSharedSuiteHasAnyListedKeyEvenFalse) {
    fake().shared()["vellWanted"] = false;
    fake().suites["org.vell.shared"] = {{"vellWanted", true},
                                        {"vellOwnsOverride", true},
                                        {"priorCaffeinate", false},
                                        {"caffeinateAtLaunch", false}};
    P::migrateLegacyDomainIfNeeded();
    EXPECT_EQ(fake().shared(), (PropertyListDictionary{{"vellWanted", false}}));
}

TEST_F(PreferencesTest, MigrationCopiesOnlyTheListedKeysTheLegacySuiteHasOnce) {
    fake().shared()["lowBatteryCutoff"] = false;
    fake().suites["org.vell.shared"] = {{"vellWanted", true},
                                        {"caffeinateAtLaunch", false},
                                        {"lowBatteryCutoff", true},
                                        {"cutoffReason", "old"}};
    P::migrateLegacyDomainIfNeeded();
    const PropertyListDictionary migrated{
        {"lowBatteryCutoff", false}, {"vellWanted", true}, {"caffeinateAtLaunch", false}};
    EXPECT_EQ(fake().shared(), migrated);
    EXPECT_EQ(callsStartingWith({"set"}),
              (std::vector<std::string>{"set vellWanted=true", "set caffeinateAtLaunch=false"}));

    fake().calls.clear();
    fake().suites["org.vell.shared"]["vellOwnsOverride"] = true;
    P::migrateLegacyDomainIfNeeded();
    EXPECT_TRUE(callsStartingWith({"set"}).empty());
    EXPECT_EQ(fake().shared(), migrated);
}

TEST_F(PreferencesTest, MigrationWithNothingToCopyChecksAgainEachTime) {
    fake().suites["org.vell.shared"] = {{"cutoffReason", "old"}};
    P::migrateLegacyDomainIfNeeded();
    P::migrateLegacyDomainIfNeeded();
    EXPECT_TRUE(fake().shared().empty());
    EXPECT_EQ(callsStartingWith({"get vellWanted @org.vell.shared"}).size(), 2u);
}

TEST_F(PreferencesTest, MigrationWithoutALegacySuiteCopiesNothing) {
    fake().unopenableSuites.insert("org.vell.shared");
    P::migrateLegacyDomainIfNeeded();
    EXPECT_TRUE(fake().shared().empty());
}

}  // namespace
