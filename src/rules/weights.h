// Score weights: what each intent, target scope, sensitivity and degree of
// reversibility adds to a segment's base score.
#pragma once

#include <array>

#include "types.h"

namespace corvane::rules {

inline constexpr auto kIntentWeight = by_enum<Intent, int>({
    {Intent::Read, 10},
    {Intent::Write, 30},
    {Intent::Delete, 45},
    {Intent::Execute, 50},
    {Intent::Network, 40},
    {Intent::ProcessControl, 40},
    {Intent::Privilege, 55},
    {Intent::PackageInstall, 35},
    {Intent::GitMutation, 35},
    {Intent::EnvModify, 40},
    {Intent::Search, 5},
    {Intent::Info, 0},
});
inline constexpr auto kScopeWeight = by_enum<TargetScope, int>({
    {TargetScope::None, 0},
    {TargetScope::SingleFile, 0},
    {TargetScope::Directory, 5},
    {TargetScope::DirectoryRecursive, 15},
    {TargetScope::System, 25},
    {TargetScope::Home, 30},
    {TargetScope::Root, 40},
});
inline constexpr auto kSensitivityWeight = by_enum<Sensitivity, int>({
    {Sensitivity::Normal, 0},
    {Sensitivity::Config, 10},
    {Sensitivity::System, 20},
    {Sensitivity::Secrets, 25},
    {Sensitivity::Protected, 25},
});
inline constexpr auto kReversibilityModifier = by_enum<Reversibility, int>({
    {Reversibility::Reversible, -10},
    {Reversibility::HardToReverse, 5},
    {Reversibility::Irreversible, 15},
});

}  // namespace corvane::rules
