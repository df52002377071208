// Score weights: what each intent, target scope, sensitivity and degree of
// reversibility adds to a segment's base score.
#pragma once

#include <array>

namespace corvane::rules {

// Indexed by the enumerations' declaration order.
inline constexpr std::array<int, 12> kIntentWeight = {
    /*read*/ 10, /*write*/ 30, /*delete*/ 45, /*execute*/ 50, /*network*/ 40,
    /*process_control*/ 40, /*privilege*/ 55, /*package_install*/ 35,
    /*git_mutation*/ 35, /*env_modify*/ 40, /*search*/ 5, /*info*/ 0};
inline constexpr std::array<int, 7> kScopeWeight = {
    /*none*/ 0, /*single_file*/ 0, /*directory*/ 5, /*directory_recursive*/ 15,
    /*system*/ 25, /*home*/ 30, /*root*/ 40};
inline constexpr std::array<int, 5> kSensitivityWeight = {
    /*normal*/ 0, /*config*/ 10, /*system*/ 20, /*secrets*/ 25, /*protected*/ 25};
inline constexpr std::array<int, 3> kReversibilityModifier = {
    /*reversible*/ -10, /*hard_to_reverse*/ 5, /*irreversible*/ 15};

}  // namespace corvane::rules
