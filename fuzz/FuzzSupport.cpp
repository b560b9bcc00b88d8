#include "fuzz/FuzzSupport.hpp"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

void removeRoot() {
    std::error_code ignored;
    fs::remove_all(fuzzRoot(), ignored);
}

}  // namespace

const std::string& fuzzRoot() {
    // Never destroyed: the exit handler that removes the folder needs it.
    static const std::string& root = *new std::string([] {
        std::string pattern = (fs::temp_directory_path() / "vell-fuzz-XXXXXX").string();
        std::string made = ::mkdtemp(pattern.data()) ? pattern : "/tmp";
        ::setenv("VELL_SYSTEM_ROOT", made.c_str(), 1);
        ::setenv("HOME", (made + "/Users/fuzz").c_str(), 1);
        fs::create_directories(made + "/Users/fuzz/Library/Preferences");
        std::atexit(removeRoot);
        return made;
    }());
    return root;
}

void putFile(const std::string& path, const std::string& bytes) {
    const fs::path file = fuzzRoot() + path;
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string homePath(const std::string& path) {
    return fuzzRoot() + "/Users/fuzz" + path;
}

PropertyListValue fuzzValue(FuzzedDataProvider& input, int depth) {
    const int kind = input.ConsumeIntegralInRange<int>(0, depth > 0 ? 7 : 5);
    switch (kind) {
        case 0:
            return input.ConsumeBool();
        case 1:
            return PropertyListValue(static_cast<long long>(input.ConsumeIntegral<std::int64_t>()));
        case 2:
            return input.ConsumeFloatingPoint<double>();
        case 3:
            return input.ConsumeRandomLengthString(64);
        case 4: {
            const std::string bytes = input.ConsumeRandomLengthString(32);
            return PropertyListData(bytes.begin(), bytes.end());
        }
        case 5:
            return PropertyListDate{input.ConsumeFloatingPoint<double>()};
        case 6: {
            PropertyListArray items;
            const int count = input.ConsumeIntegralInRange<int>(0, 4);
            for (int i = 0; i < count; ++i) {
                items.push_back(fuzzValue(input, depth - 1));
            }
            return items;
        }
        default:
            return fuzzDictionary(input, depth - 1);
    }
}

PropertyListDictionary fuzzDictionary(FuzzedDataProvider& input, int depth) {
    static const char* keys[] = {"Type",         "Is Present",         "Current Capacity",
                                 "Max Capacity", "Power Source State", "CFBundleIdentifier",
                                 "vellWanted",   "lowBatteryCutoff",   "cutoffReason"};
    PropertyListDictionary entries;
    const int count = input.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < count; ++i) {
        std::string key =
            input.ConsumeBool()
                ? keys[input.ConsumeIntegralInRange<std::size_t>(0, std::size(keys) - 1)]
                : input.ConsumeRandomLengthString(16);
        entries.insert_or_assign(std::move(key), fuzzValue(input, std::max(depth, 0)));
    }
    return entries;
}
