#include "rules/techniques.h"

#include <array>

namespace corvane {
namespace {

struct Technique {
  std::string_view id;
  std::string_view name;
  std::string_view tactic;
};

// Names and tactics are the ones this system has always reported, including
// where they differ from the published ATT&CK wording.
constexpr std::array<Technique, 19> kCatalogue = {{
    {"T1059.004", "Command and Scripting Interpreter: Unix Shell", "Execution"},
    {"T1070.004", "Indicator Removal: File Deletion", "Defense Evasion"},
    {"T1204.002", "User Execution: Malicious File", "Execution"},
    {"T1132.001", "Data Encoding: Standard Encoding", "Defense Evasion"},
    {"T1074.001", "Data Staged: Local Data Staging", "Collection"},
    {"T1027.010", "Obfuscated Files: Command Obfuscation", "Defense Evasion"},
    {"T1548.001", "Abuse Elevation: Setuid and Setgid", "Privilege Escalation"},
    {"T1222.002", "File and Directory Permissions Modification: Linux", "Privilege Escalation"},
    {"T1021.004", "Remote Services: SSH", "Lateral Movement"},
    {"T1053.003", "Scheduled Task/Job: Cron", "Execution"},
    {"T1562.001", "Impair Defenses: Disable or Modify Tools", "Defense Evasion"},
    {"T1105", "Ingress Tool Transfer", "Command and Control"},
    {"T1041", "Exfiltration Over C2 Channel", "Exfiltration"},
    {"T1048", "Exfiltration Over Alternative Protocol", "Exfiltration"},
    {"T1027", "Obfuscated Files or Information", "Defense Evasion"},
    {"T1098", "Account Manipulation", "Persistence"},
    {"T1195", "Supply Chain Compromise", "Supply Chain Compromise"},
    {"T1610", "Deploy Container", "Execution"},
    {"T1543", "Create or Modify System Process", "Persistence"},
}};

const Technique* find(std::string_view id) {
  for (const Technique& t : kCatalogue)
    if (t.id == id) return &t;
  return nullptr;
}

}  // namespace

std::string get_mitre_name(std::string_view technique_id) {
  if (const Technique* t = find(technique_id)) return std::string(t->name);
  return "MITRE ATT&CK " + std::string(technique_id);
}

std::string get_mitre_tactic(std::string_view technique_id) {
  if (const Technique* t = find(technique_id)) return std::string(t->tactic);
  return "Unknown";
}

}  // namespace corvane
