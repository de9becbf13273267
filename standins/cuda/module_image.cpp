#include "module_image.h"

#include <algorithm>
#include <cctype>

namespace tevu::standin::cuda {

namespace {

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool starts_identifier(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '$'; }
bool continues_identifier(char c) { return starts_identifier(c) || std::isdigit(static_cast<unsigned char>(c)); }

}  // namespace

std::vector<std::string> entry_names(std::string_view image) {
    static constexpr std::string_view directive = ".entry";
    std::vector<std::string> names;
    for (std::size_t at = image.find(directive); at != std::string_view::npos;
         at = image.find(directive, at + directive.size())) {
        if (at > 0 && !is_space(image[at - 1])) continue;
        std::size_t pos = at + directive.size();
        if (pos >= image.size() || !is_space(image[pos])) continue;
        while (pos < image.size() && is_space(image[pos])) ++pos;
        if (pos >= image.size() || !starts_identifier(image[pos])) continue;
        std::size_t end = pos;
        while (end < image.size() && continues_identifier(image[end])) ++end;
        std::string name(image.substr(pos, end - pos));
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
    }
    return names;
}

}  // namespace tevu::standin::cuda
