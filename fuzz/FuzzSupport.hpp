// What the fuzz targets share: one simulated Mac per process, a way to put
// bytes where the stand-in reads them, and property-list values built from
// fuzzer input.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "platform/property_list.hpp"

// Creates a simulated Mac in a temp dir, points VELL_SYSTEM_ROOT and HOME
// into it, and returns its root. Made once; removed at exit.
const std::string& fuzzRoot();

// Writes `bytes` to the file standing for the Mac's absolute `path`.
void putFile(const std::string& path, const std::string& bytes);

// The file standing for `path` in the user's home folder.
std::string homePath(const std::string& path);

// A property-list value of any type, nested at most `depth` deep.
PropertyListValue fuzzValue(FuzzedDataProvider& input, int depth = 4);
PropertyListDictionary fuzzDictionary(FuzzedDataProvider& input, int depth = 3);
