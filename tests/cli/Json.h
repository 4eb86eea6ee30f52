// The CLI's --json output as the tests read it: one JSON value a line, and the
// check of those lines against docs/velmorsmppdemo.schema.json.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/Process.h"

namespace velmor::test {

// Every line of text as JSON. strict: a line that is not JSON fails the test;
// otherwise it is skipped. type: only the objects of that "type".
inline std::vector<nlohmann::json> JsonLines(const std::string& text, bool strict = true, std::string_view type = {}) {
  std::vector<nlohmann::json> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (strict) {
      EXPECT_FALSE(j.is_discarded()) << line;
    }
    if (j.is_discarded()) continue;
    if (!type.empty() && !(j.is_object() && j.value("type", "") == type)) continue;
    out.push_back(std::move(j));
  }
  return out;
}

// Fails the test when a line of lines does not match the schema; name keeps
// the scratch files of different tests apart.
inline void ExpectMatchesSchema(const std::string& lines, const std::string& name) {
  const std::string file = ::testing::TempDir() + "velmor_" + name + ".jsonl";
  std::ofstream(file) << lines;
  const auto check = Run("/bin/sh",
                         {"-c", "/usr/bin/python3 " VELMOR_SOURCE_DIR "/tests/cli/validate_json.py " VELMOR_SOURCE_DIR
                                "/docs/velmorsmppdemo.schema.json < " +
                                    file},
                         std::chrono::seconds(30));
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
}

}  // namespace velmor::test
