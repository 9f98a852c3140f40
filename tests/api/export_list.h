// The names the shared library exports, read from the linker's version
// script (api/zeva232.map, passed to the tests as ZEVA_EXPORT_MAP).
#pragma once

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace zeva::api_test {

// The names between "global:" and "local:", comments left out; empty when
// the file cannot be read or has no such section.
inline std::set<std::string> ListedExports(const char* mapPath = ZEVA_EXPORT_MAP) {
  std::ifstream in(mapPath);
  std::stringstream text;
  text << in.rdbuf();
  const std::string s = std::regex_replace(text.str(), std::regex(R"(/\*[\s\S]*?\*/)"), " ");
  const auto global = s.find("global:");
  const auto local = s.find("local:");
  std::set<std::string> names;
  if (global == std::string::npos || local == std::string::npos) return names;
  std::istringstream body(s.substr(global + 7, local - global - 7));
  std::string token;
  while (std::getline(body, token, ';')) {
    std::istringstream words(token);
    std::string w;
    while (words >> w) names.insert(w);
  }
  return names;
}

}  // namespace zeva::api_test
