// Helpers the native test files share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "corvane.h"

namespace corvane::testing_support {

// The verdict on one line without rule files; a fault fails the test.
inline AnalysisResult run(std::string_view command, const ClassifyContext* ctx = nullptr) {
  auto r = classify_inner(command, ctx, nullptr);
  EXPECT_TRUE(r.ok()) << command;
  return std::move(r).value();
}

inline bool has_factor(const AnalysisResult& r, RiskFactor f) {
  return std::find(r.risk_factors.begin(), r.risk_factors.end(), f) != r.risk_factors.end();
}

}  // namespace corvane::testing_support
