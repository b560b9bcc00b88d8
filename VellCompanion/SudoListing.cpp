// sudo prints the privileges after a line "User NAME may run the following
// commands on HOST:", one entry a line, indented by four spaces:
//
//     (ALL) ALL
//     (root) NOPASSWD: /usr/bin/pmset -a disablesleep 0, /usr/bin/pmset -a
//         disablesleep 1
//
// Past the terminal's width (80 columns without one) an entry wraps at a
// space onto lines indented by eight. Each entry starts with its run-as users
// (and, after a colon, groups); its commands are separated by commas. A tag
// such as NOPASSWD: or SETENV: stands before the first command it applies to
// and carries on to the entry's later commands until the opposite tag
// (PASSWD:); options such as TIMEOUT=… or CWD=… may stand before the tags.
// Where several entries match a command, the last one decides.
#include "VellCompanion/SudoListing.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace VellCompanion {
namespace {

constexpr std::string_view pmsetPath = "/usr/bin/pmset";
constexpr std::array<std::string_view, 2> pmsetArguments = {"-a disablesleep 0",
                                                            "-a disablesleep 1"};
constexpr std::string_view privilegesHeader = " may run the following commands on ";
constexpr std::size_t continuationIndent = 8;

// How surely an entry applies: `maybe` where the listing leaves it open.
enum class Match { no, maybe, yes };

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (isBlank(text.front()) || text.front() == '\r')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (isBlank(text.back()) || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// Splits at `separator`, except where a backslash escapes it.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\\') {
            ++at;
        } else if (text[at] == separator) {
            parts.push_back(trimmed(text.substr(start, at - start)));
            start = at + 1;
        }
    }
    parts.push_back(trimmed(text.substr(std::min(start, text.size()))));
    return parts;
}

// The entries of the privilege sections, wrapped lines joined again.
std::vector<std::string> privilegeEntries(std::string_view listing) {
    std::vector<std::string> entries;
    bool inPrivileges = false;
    std::size_t start = 0;
    while (start < listing.size()) {
        const std::size_t end = std::min(listing.find('\n', start), listing.size());
        const std::string_view line = listing.substr(start, end - start);
        start = end + 1;
        const std::size_t indent = std::min(line.find_first_not_of(" \t"), line.size());
        const std::string_view text = trimmed(line);
        if (indent == 0 || text.empty()) {
            inPrivileges = text.ends_with(':') && text.starts_with("User ") &&
                           text.find(privilegesHeader) != std::string_view::npos;
            entries.emplace_back();  // nothing carries on into another section
            continue;
        }
        if (!inPrivileges) {
            continue;
        }
        if (indent < continuationIndent && text.starts_with('(')) {
            entries.emplace_back(text);
        } else if (!entries.back().empty()) {  // the header line added one
            entries.back() += ' ';
            entries.back() += text;
        }
    }
    return entries;
}

// "ALL", "root" or "#0" among the run-as users: root for sure. A negation,
// a group or a netgroup might hold root or take it away.
Match runsAsRoot(std::string_view runAs) {
    const std::string_view users = runAs.substr(0, runAs.find(':'));
    Match match = Match::no;
    for (const std::string_view user : split(users, ',')) {
        if (user == "ALL" || user == "root" || user == "#0") {
            match = std::max(match, Match::yes);
        } else if (user.starts_with('!')) {
            return Match::maybe;
        } else if (user.starts_with('%') || user.starts_with('+')) {
            match = std::max(match, Match::maybe);
        }
    }
    return match;
}

bool hasPattern(std::string_view text) {
    return text.find_first_of("*?[\\") != std::string_view::npos;
}

// The program with its arguments, single-spaced, as sudo compares them.
Match commandMatches(std::string_view command, std::string_view arguments) {
    if (command == "ALL") {
        return Match::yes;
    }
    const std::size_t space = std::min(command.find_first_of(" \t"), command.size());
    const std::string_view path = command.substr(0, space);
    std::string given;
    for (const std::string_view word : split(trimmed(command.substr(space)), ' ')) {
        if (!word.empty()) {
            given += given.empty() ? "" : " ";
            given += word;
        }
    }
    if (path == pmsetPath) {
        if (given.empty() || given == arguments) {
            return Match::yes;
        }
        return hasPattern(given) ? Match::maybe : Match::no;
    }
    // A pattern, a folder, a digest before the path, or pmset by another path.
    const bool mightBePmset = hasPattern(path) || path.ends_with('/') || !path.starts_with('/') ||
                              path.find("pmset") != std::string_view::npos;
    return mightBePmset && path != "sudoedit" ? Match::maybe : Match::no;
}

bool isTagOrOption(std::string_view word) {
    const std::size_t nameEnd = word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_");
    return nameEnd > 0 && nameEnd < word.size() &&
           ((word[nameEnd] == ':' && nameEnd + 1 == word.size()) || word[nameEnd] == '=');
}

// Whether the last entry that matches the command surely lets it run as
// root without a password.
bool runsWithoutPassword(const std::vector<std::string>& entries, std::string_view arguments) {
    bool withoutPassword = false;
    for (const std::string& entry : entries) {
        const std::size_t close = entry.find(')');
        if (entry.empty() || close == std::string::npos) {
            continue;
        }
        const Match asRoot = runsAsRoot(std::string_view(entry).substr(1, close - 1));
        bool noPassword = false;
        for (std::string_view command : split(std::string_view(entry).substr(close + 1), ',')) {
            while (true) {
                const std::size_t space = std::min(command.find(' '), command.size());
                const std::string_view word = command.substr(0, space);
                if (!isTagOrOption(word)) {
                    break;
                }
                if (word == "NOPASSWD:" || word == "PASSWD:") {
                    noPassword = word == "NOPASSWD:";
                }
                command = trimmed(command.substr(space));
            }
            const bool negated = command.starts_with('!');
            if (negated) {
                command = trimmed(command.substr(1));
            }
            const Match match = std::min(asRoot, commandMatches(command, arguments));
            if (match != Match::no) {
                withoutPassword = match == Match::yes && !negated && noPassword;
            }
        }
    }
    return withoutPassword;
}

}  // namespace

bool listingLetsPmsetRunWithoutPassword(std::string_view listing) {
    const std::vector<std::string> entries = privilegeEntries(listing);
    return std::ranges::all_of(pmsetArguments, [&](std::string_view arguments) {
        return runsWithoutPassword(entries, arguments);
    });
}

}  // namespace VellCompanion
