// Reading the entry names out of a module image: PTX text, or the build's entry listing (lines of
// ".entry NAME"), which uses the same directive.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tevu::standin::cuda {

// The names declared by ".entry" directives, in order, without repeats.
std::vector<std::string> entry_names(std::string_view image);

}  // namespace tevu::standin::cuda
