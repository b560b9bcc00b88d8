// The promises users rely on, checked over every situation a pass can meet:
// every starting state, installation state, cutoff, registry readability,
// outcome of each power command and of unregistration, and write of the
// companion app during the pass, over sequences of up to three passes.
//
// A pass depends only on the settings, the override and `missingChecks` it
// starts from, and on what the world does during it. So instead of running
// every sequence from scratch, each depth runs every situation once from
// every distinct state the sequences so far can reach: that covers every
// (state, situation) pair any sequence of three passes meets, and the count
// of sequences it stands for is carried along.
#include <cstdio>
#include <map>
#include <sstream>
#include <tuple>

#include "VellDealer/VellDealer.hpp"
#include "tests/unit/FakeTest.hpp"
#include "tests/unit/VellDealerTesting.hpp"

namespace {

using platform::ThermalState;

const std::string appPath = "/Applications/Vell.app";
const std::string agentPath = appPath + "/Contents/MacOS/VellDealer";
const std::string trashedPath = "/Users/ann/.Trash/Vell.app/Contents/MacOS/VellDealer";

struct State {
    bool wanted = false;
    bool owns = false;
    bool lowBatteryCutoff = true;
    bool overrideOn = false;
    std::int64_t missingChecks = 0;

    auto key() const {
        return std::tuple(wanted, owns, lowBatteryCutoff, overrideOn, missingChecks);
    }
    bool operator<(const State& other) const { return key() < other.key(); }
};

enum class Install { installed, executablePresent, executableMissing, pathUnreadable, inTrash };
enum class Cutoff { none, lowBattery, criticalHeat };
enum class Companion { nothing, withdrawsWish, clearsOwnership };
enum class Command { confirmed, fails, unconfirmed };

const char* name(Install value) {
    constexpr const char* names[] = {"installed", "exe present", "exe missing", "path unreadable",
                                     "in Trash"};
    return names[static_cast<int>(value)];
}
const char* name(Cutoff value) {
    constexpr const char* names[] = {"no cutoff", "battery 5%", "critical heat"};
    return names[static_cast<int>(value)];
}
const char* name(Companion value) {
    constexpr const char* names[] = {"app writes nothing", "app withdraws wish",
                                     "app clears ownership"};
    return names[static_cast<int>(value)];
}
const char* name(Command value) {
    constexpr const char* names[] = {"confirmed", "fails", "unconfirmed"};
    return names[static_cast<int>(value)];
}

struct Situation {
    Install install = Install::installed;
    Cutoff cutoff = Cutoff::none;
    bool registryReadable = true;
    Companion companion = Companion::nothing;
    Command commands[2] = {Command::confirmed, Command::confirmed};
    bool unregistrationFails = false;
};

std::string describe(const State& s) {
    std::ostringstream text;
    text << "{wanted=" << s.wanted << " owns=" << s.owns
         << " lowBatteryCutoff=" << s.lowBatteryCutoff
         << " override=" << (s.overrideOn ? "on" : "off") << " missingChecks=" << s.missingChecks
         << "}";
    return text.str();
}

std::string describe(const Situation& s) {
    std::ostringstream text;
    text << "[" << name(s.install) << ", " << name(s.cutoff) << ", registry "
         << (s.registryReadable ? "readable" : "unreadable") << ", " << name(s.companion)
         << ", commands " << name(s.commands[0]) << "/" << name(s.commands[1]) << ", unregister "
         << (s.unregistrationFails ? "fails" : "succeeds") << "]";
    return text.str();
}

FakePmsetOutcome outcomeOf(Command command) {
    switch (command) {
        case Command::confirmed:
            return {0, "", true};
        case Command::fails:
            return {1, "sudo: a password is required", false};
        case Command::unconfirmed:
            return {0, "", false};
    }
    return {};
}

bool stored(const char* key) {
    const auto& suite = fake().shared();
    const auto found = suite.find(key);
    return found != suite.end() && found->second == PropertyListValue(true);
}

struct Pass {
    State after;
    bool exited = false;
    std::size_t commandsRun = 0;
    bool unregistrationTried = false;
};

// Sets the fake up for `state` and `situation` and runs one pass.
Pass runPass(const State& state, const Situation& situation) {
    resetFake();
    FakePlatform& f = fake();
    f.shared()["vellWanted"] = state.wanted;
    f.shared()["vellOwnsOverride"] = state.owns;
    f.shared()["lowBatteryCutoff"] = state.lowBatteryCutoff;
    f.sleepDisabled = state.overrideOn;
    const bool readable = situation.registryReadable;
    f.registryReading = [readable] { return readable ? fake().sleepDisabled : std::nullopt; };

    if (situation.install == Install::installed) {
        f.dictionaryFiles[appPath + "/Contents/Info.plist"] = {
            {"CFBundleIdentifier", "org.vell.app"}};
    }
    if (situation.install == Install::inTrash) {
        f.executablePath = trashedPath;
    } else if (situation.install != Install::pathUnreadable) {
        f.executablePath = agentPath;
    }
    if (situation.install == Install::executablePresent) {
        f.existingPaths.insert(agentPath);
    }

    const bool onBattery = situation.cutoff == Cutoff::lowBattery;
    f.powerSources = std::vector<PropertyListDictionary>{
        {{"Type", "InternalBattery"},
         {"Current Capacity", onBattery ? 5 : 80},
         {"Max Capacity", 100},
         {"Power Source State", onBattery ? "Battery Power" : "AC Power"}}};
    f.thermalState =
        situation.cutoff == Cutoff::criticalHeat ? ThermalState::critical : ThermalState::nominal;

    f.pmsetOutcomes = {outcomeOf(situation.commands[0]), outcomeOf(situation.commands[1])};
    f.unregistrationFails = situation.unregistrationFails;
    const Companion companion = situation.companion;
    f.whileProgramRuns = [companion, first = true](const std::string&,
                                                   const std::vector<std::string>&) mutable {
        if (!first) {
            return;
        }
        first = false;
        if (companion == Companion::withdrawsWish) {
            fake().shared()["vellWanted"] = false;
        } else if (companion == Companion::clearsOwnership) {
            fake().shared()["vellOwnsOverride"] = false;
        }
    };

    VellDealer dealer(appPath);
    VellDealerTesting::setMissingChecks(dealer, state.missingChecks);
    VellDealerTesting::reconcile(dealer);

    Pass pass;
    pass.after = {stored("vellWanted"), stored("vellOwnsOverride"), state.lowBatteryCutoff,
                  f.sleepDisabled == true, VellDealerTesting::missingChecks(dealer)};
    pass.exited = !f.exits.empty();
    pass.commandsRun = f.overrideAfterPmset.size();
    for (const auto& call : f.calls) {
        pass.unregistrationTried = pass.unregistrationTried || call.rfind("unregister", 0) == 0;
    }
    return pass;
}

// What the agent did, read off the fake's log.
struct Observed {
    std::vector<std::string> writes;  // the agent's own settings writes, in order
    bool removalStarted = false;
    bool anyTurnOffFailed = false;
    bool ownershipTakenAfterFailedUndo = true;
};

bool isPowerCommand(const std::string& call) {
    return call.rfind("run /usr/bin/sudo", 0) == 0;
}

Observed observe() {
    const FakePlatform& f = fake();
    Observed seen;
    std::size_t command = 0;
    bool turnedOn = false;
    bool rereadWantedFalse = false;
    bool lastUndoFailed = false;
    // What each read of the wish found, in the order of the reads.
    std::vector<bool> wantedReads;
    for (const auto& [key, value] : f.reads) {
        if (key == "vellWanted") {
            wantedReads.push_back(value && *value == PropertyListValue(true));
        }
    }
    std::size_t wantedReadsSeen = 0;
    for (std::size_t i = 0; i < f.calls.size(); ++i) {
        const std::string& call = f.calls[i];
        if (call.rfind("set ", 0) == 0 || call.rfind("remove ", 0) == 0) {
            seen.writes.push_back(call);
        }
        if (call == "synchronize") {
            seen.removalStarted = true;
        }
        // Self-removal turns off straight after clearing the wish, without
        // reading the override first; the policy always reads it first.
        if (call == "set vellWanted=false" && i + 1 < f.calls.size() &&
            isPowerCommand(f.calls[i + 1])) {
            seen.removalStarted = true;
        }
        if (call == "get vellWanted") {
            const bool wanted = wantedReads.at(wantedReadsSeen++);
            rereadWantedFalse = turnedOn && !wanted;
        }
        if (isPowerCommand(call)) {
            const bool on = call.back() == '1';
            const std::optional<bool> after = f.overrideAfterPmset.at(command++);
            if (on) {
                turnedOn = true;
            } else {
                lastUndoFailed = after != false;
                seen.anyTurnOffFailed = seen.anyTurnOffFailed || lastUndoFailed;
            }
        }
        if (call == "set vellOwnsOverride=true") {
            const bool allowed = turnedOn && rereadWantedFalse && lastUndoFailed;
            seen.ownershipTakenAfterFailedUndo = seen.ownershipTakenAfterFailedUndo && allowed;
        }
    }
    return seen;
}

std::optional<bool> firstRead(const char* key) {
    for (const auto& [read, value] : fake().reads) {
        if (read == key) {
            return value && *value == PropertyListValue(true);
        }
    }
    return std::nullopt;
}

bool cutoffApplies(const State& state, const Situation& situation) {
    return situation.cutoff == Cutoff::criticalHeat ||
           (situation.cutoff == Cutoff::lowBattery && state.lowBatteryCutoff);
}

// Checks every promise after one pass; returns the broken ones.
std::vector<std::string> brokenPromises(const State& before,
                                        const Situation& situation,
                                        const Pass& pass) {
    std::vector<std::string> broken;
    const Observed seen = observe();
    const auto& calls = fake().calls;
    const std::optional<bool> readWanted = firstRead("vellWanted");
    const std::optional<bool> readOwns = firstRead("vellOwnsOverride");
    const bool ranCommand = std::any_of(calls.begin(), calls.end(), isPowerCommand);

    // 1. Without ownership, outside self-removal, nothing is run or written.
    if (!seen.removalStarted && readOwns == false && (ranCommand || !seen.writes.empty())) {
        broken.push_back("1: acted on an override it does not own");
    }
    // 2. Never a wish of its own; ownership only back after a failed undo.
    for (const auto& write : seen.writes) {
        if (write == "set vellWanted=true") {
            broken.push_back("2: wrote vellWanted true");
        }
    }
    if (!seen.ownershipTakenAfterFailedUndo) {
        broken.push_back("2: took ownership other than after a failed undo of a withdrawn wish");
    }
    // 3. A reason only for an owned, wanted pass under a cutoff, before the wish is cleared.
    for (std::size_t i = 0; i < seen.writes.size(); ++i) {
        if (seen.writes[i].rfind("set cutoffReason", 0) != 0) {
            continue;
        }
        if (!(readWanted == true && readOwns == true && cutoffApplies(before, situation))) {
            broken.push_back("3: recorded a reason without an owned, wanted cutoff");
        }
        if (i + 1 >= seen.writes.size() || seen.writes[i + 1] != "set vellWanted=false") {
            broken.push_back("3: the reason was not followed by clearing the wish");
        }
    }
    // 4. With working commands and a readable override, the policy finishes its job.
    const bool commandsWork = situation.registryReadable &&
                              situation.commands[0] == Command::confirmed &&
                              situation.commands[1] == Command::confirmed;
    if (commandsWork && !seen.removalStarted && readOwns == true) {
        const State& after = pass.after;
        if (readWanted == false && (after.overrideOn || after.owns)) {
            broken.push_back("4: a withdrawn wish did not end with the override off and given up");
        }
        if (readWanted == true && cutoffApplies(before, situation) &&
            (after.overrideOn || after.wanted || after.owns ||
             fake().shared().count("cutoffReason") == 0)) {
            broken.push_back("4: a cutoff did not end with everything off and the reason kept");
        }
    }
    // 5. Leaving only through self-removal, with status 0, never after a failed turn-off.
    if ((pass.exited || pass.unregistrationTried) && !seen.removalStarted) {
        broken.push_back("5: unregistered or exited outside self-removal");
    }
    for (int status : fake().exits) {
        if (status != 0) {
            broken.push_back("5: exited with a status other than 0");
        }
    }
    if ((pass.exited || pass.unregistrationTried) && seen.anyTurnOffFailed) {
        broken.push_back("5: left while a turn-off it attempted had failed");
    }
    // 6. The second miss always starts self-removal.
    if (pass.after.missingChecks >= 2 && !seen.removalStarted) {
        broken.push_back("6: missingChecks reached 2 without self-removal");
    }
    return broken;
}

std::vector<Situation> situationsWithoutOutcomes() {
    std::vector<Situation> all;
    for (Install install :
         {Install::installed, Install::executablePresent, Install::executableMissing,
          Install::pathUnreadable, Install::inTrash}) {
        for (Cutoff cutoff : {Cutoff::none, Cutoff::lowBattery, Cutoff::criticalHeat}) {
            for (bool readable : {true, false}) {
                for (Companion companion :
                     {Companion::nothing, Companion::withdrawsWish, Companion::clearsOwnership}) {
                    Situation s;
                    s.install = install;
                    s.cutoff = cutoff;
                    s.registryReadable = readable;
                    s.companion = companion;
                    all.push_back(s);
                }
            }
        }
    }
    return all;
}

constexpr Command allCommands[] = {Command::confirmed, Command::fails, Command::unconfirmed};

TEST(Promises, HoldInEveryReachableSituationOverThreePasses) {
    std::map<State, std::string> frontier;
    std::map<State, std::uint64_t> sequencesTo;
    for (bool wanted : {false, true}) {
        for (bool owns : {false, true}) {
            for (bool lowBattery : {false, true}) {
                for (bool on : {false, true}) {
                    for (std::int64_t misses : {0, 1}) {
                        const State s{wanted, owns, lowBattery, on, misses};
                        frontier[s] = describe(s);
                        sequencesTo[s] = 1;
                    }
                }
            }
        }
    }

    std::uint64_t passesRun = 0;
    std::uint64_t sequences = 0;
    std::vector<std::string> failures;
    for (int depth = 1; depth <= 3 && failures.size() < 10; ++depth) {
        std::map<State, std::string> next;
        std::map<State, std::uint64_t> nextCounts;
        for (const auto& entry : frontier) {
            // Plain references: older clangs refuse to capture structured bindings.
            const State& state = entry.first;
            const std::string& path = entry.second;
            auto check = [&](const Situation& situation) {
                const Pass pass = runPass(state, situation);
                ++passesRun;
                sequences += sequencesTo[state];
                const std::string sequence =
                    path + " -> pass " + std::to_string(depth) + " " + describe(situation);
                for (const auto& promise : brokenPromises(state, situation, pass)) {
                    failures.push_back(promise + "\n    in " + sequence);
                }
                if (!pass.exited) {
                    next.try_emplace(pass.after, sequence + " -> " + describe(pass.after));
                    nextCounts[pass.after] += sequencesTo[state];
                }
                return pass;
            };
            for (Situation situation : situationsWithoutOutcomes()) {
                // Outcomes matter only for the commands and the unregistration
                // that a pass actually makes: branch on them as they come up.
                const Pass plain = check(situation);
                for (Command first : allCommands) {
                    situation.commands[0] = first;
                    situation.commands[1] = Command::confirmed;
                    situation.unregistrationFails = false;
                    if (first != Command::confirmed && plain.commandsRun < 1) {
                        continue;
                    }
                    const Pass afterFirst = first == Command::confirmed ? plain : check(situation);
                    for (Command second : allCommands) {
                        situation.commands[1] = second;
                        situation.unregistrationFails = false;
                        if (second != Command::confirmed && afterFirst.commandsRun < 2) {
                            continue;
                        }
                        const Pass pass =
                            second == Command::confirmed ? afterFirst : check(situation);
                        if (pass.unregistrationTried) {
                            situation.unregistrationFails = true;
                            check(situation);
                        }
                    }
                }
            }
        }
        frontier = std::move(next);
        sequencesTo = std::move(nextCounts);
    }

    std::printf(
        "explored %llu distinct passes standing for %llu situations in sequences of up to "
        "three passes\n",
        static_cast<unsigned long long>(passesRun), static_cast<unsigned long long>(sequences));
    for (const auto& failure : failures) {
        ADD_FAILURE() << failure;
    }
}

}  // namespace
