// Word vectors of large expressions shared by the tests.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tevu::condition::testing {

// Groups nested as ( x -a ( x -a ... innermost ) ... ), with depth "(" words, which the count
// search evaluates group by group.
inline std::vector<std::string> nested_groups(std::size_t depth, const std::string& innermost) {
  std::vector<std::string> words;
  for (std::size_t i = 0; i < depth; ++i) words.insert(words.end(), {"(", "x", "-a"});
  words.push_back(innermost);
  words.insert(words.end(), depth, ")");
  return words;
}

}  // namespace tevu::condition::testing
