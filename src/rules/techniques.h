// ATT&CK technique catalogue: display names and tactics for technique ids.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

// "MITRE ATT&CK <id>" for ids outside the catalogue.
std::string get_mitre_name(std::string_view technique_id);
// "Unknown" for ids outside the catalogue.
std::string get_mitre_tactic(std::string_view technique_id);

}  // namespace corvane
