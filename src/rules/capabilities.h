// The binary capability table: programs that can be abused beyond their name
// (editors that spawn shells, archivers that run commands, interpreters that
// open reverse shells), with the abilities each offers.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "types.h"

namespace corvane::rules {

struct CapabilityEntry {
  std::string_view binary;
  std::span<const BinaryCapability> capabilities;  // in reported order
};

std::span<const CapabilityEntry> capability_table() noexcept;

// The capabilities of a segment's executable, looked up by the text after its
// last "/" (exact, case-sensitive); empty when the program is not listed.
std::vector<BinaryCapability> lookup_capabilities(std::string_view executable);

}  // namespace corvane::rules
