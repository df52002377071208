// The JSON form of results: compact RFC 8259 text, keys in field order,
// absent optionals as null, strings copied byte for byte except for the
// escapes JSON requires.
#pragma once

#include <string>
#include <vector>

#include "result.h"

namespace corvane {

std::string to_json(const AnalysisResult& result);
std::string to_json(const std::vector<AnalysisResult>& results);

}  // namespace corvane
