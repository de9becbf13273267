// The name of the character set of the current locale.
#pragma once

namespace tevu::condition {

const char* charset_name();

// The same, from a given codeset answer (null when the platform gave none).
const char* charset_name_from_codeset(const char* codeset);

}  // namespace tevu::condition
