#include <gtest/gtest.h>

#include "json.h"
#include "types.h"

namespace corvane {
namespace {

TEST(Json, EscapesQuotesBackslashesAndControls) {
  std::string out;
  append_json_string(out, std::string("a\"b\\c\td\ne\x01\x1f\b\f\r\x7f\xc3\xa9", 17));
  EXPECT_EQ(out, "\"a\\\"b\\\\c\\td\\ne\\u0001\\u001f\\b\\f\\r\x7f\xc3\xa9\"");
}

TEST(Json, EmptyBatchIsEmptyArray) {
  EXPECT_EQ(to_json(std::vector<AnalysisResult>{}), "[]");
}

TEST(Json, KeyOrderNullsAndNegativeModifier) {
  CommandAnalysis a;
  a.command = "x";
  a.intent = {Intent::Execute};
  a.targets = {{std::nullopt, TargetScope::System, Sensitivity::Normal}};
  a.flags = {{"-f", -10, RiskFactor::Write, "d"}};
  a.risk_factors = {RiskFactor::Write};
  AnalysisResult r;
  r.command = "x";
  r.sub_commands = {a};
  EXPECT_EQ(to_json(r),
            "{\"command\":\"x\",\"score\":0,\"level\":\"safe\",\"quick_decision\":\"safe\","
            "\"reason\":\"\",\"risk_factors\":[],\"sub_commands\":[{\"command\":\"x\","
            "\"executable\":null,\"intent\":[\"execute\"],\"targets\":[{\"path\":null,"
            "\"scope\":\"system\",\"sensitivity\":\"normal\"}],\"flags\":[{\"flag\":\"-f\","
            "\"modifier\":-10,\"risk_factor\":\"write\",\"description\":\"d\"}],\"score\":0,"
            "\"risk_factors\":[\"write\"],\"reversibility\":\"reversible\",\"capabilities\":[]}],"
            "\"pipeline_flow\":null,\"mitre_mappings\":[],\"parse_confidence\":\"full\"}");
}

TEST(Json, TaggedTaintValues) {
  AnalysisResult r;
  PipelineFlow p;
  p.flow_type = FlowType::Mixed;
  p.composite_score = 77;
  p.taint_flows.push_back({{TaintSourceType::SensitiveFile, "~/.ssh/id_rsa"},
                           {{TaintPropType::Encoding, "base64"}, {TaintPropType::Passthrough, ""}},
                           {TaintSinkType::FileWrite, "out"},
                           40,
                           "why"});
  p.taint_flows.push_back({{TaintSourceType::Stdin, "ignored"}, {}, {TaintSinkType::NetworkSend, "ignored"}, 20, "w"});
  r.pipeline_flow = p;
  const std::string json = to_json(r);
  EXPECT_NE(json.find("\"pipeline_flow\":{\"flow_type\":\"mixed\",\"taint_flows\":["
                      "{\"source\":{\"type\":\"sensitive_file\",\"path\":\"~/.ssh/id_rsa\"},"
                      "\"propagators\":[{\"encoding\":{\"method\":\"base64\"}},\"passthrough\"],"
                      "\"sink\":{\"type\":\"file_write\",\"path\":\"out\"},\"escalation\":40,"
                      "\"escalation_reason\":\"why\"},"
                      "{\"source\":{\"type\":\"stdin\"},\"propagators\":[],"
                      "\"sink\":{\"type\":\"network_send\"},\"escalation\":20,\"escalation_reason\":\"w\"}],"
                      "\"composite_score\":77}"),
            std::string::npos)
      << json;
}

TEST(Json, SpellingOrderMatters) {
  EXPECT_LT(TargetScope::DirectoryRecursive, TargetScope::System);
  EXPECT_LT(TargetScope::System, TargetScope::Home);
  EXPECT_EQ(to_string(RiskFactor::Write), "write");
  EXPECT_EQ(to_string(static_cast<RiskFactor>(19)), "write");
  EXPECT_EQ(to_string(RiskFactor::NestingLimit), "nesting_limit");
  EXPECT_EQ(to_string(TaintSinkType::Display), "display");
}

}  // namespace
}  // namespace corvane
