// GUID record <-> canonical 36-character text, the key form of every GUID table of the module.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "nvenc_api.h"

namespace tevu::nvenc {

// NVENC's 16-byte GUID record (the Windows GUID layout).
using Guid = ::GUID;

// Malformed GUID text; what() is the user-facing message.
struct GuidFormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The template whose length and dash positions every GUID text must follow.
inline constexpr const char* kGuidTemplate = "CE788D20-AAA9-4318-92BB-AC7E858C8D36";

// Upper-case text "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX".
std::string guid_text(const Guid& guid);
// Parses the text (either case); throws GuidFormatError naming the first offending position.
Guid parse_guid(const std::string& text);

}  // namespace tevu::nvenc
