// The engine's JSON writer (public entry points in corvane/json.h).
#pragma once

#include <string>
#include <string_view>

#include <corvane/json.h>

namespace corvane {

// Appends `text` as a JSON string literal (quotes included) to `out`.
void append_json_string(std::string& out, std::string_view text);

}  // namespace corvane
