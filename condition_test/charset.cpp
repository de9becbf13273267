#include "charset.h"

#include <langinfo.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace tevu::condition {
namespace {

struct Alias {
  const char* alias;
  const char* charset;
};

constexpr Alias kCodePageAliases[] = {
    {"CP936", "GBK"},          {"CP1361", "JOHAB"},       {"CP20127", "ASCII"},
    {"CP20866", "KOI8-R"},     {"CP20936", "GB2312"},     {"CP21866", "KOI8-RU"},
    {"CP28591", "ISO-8859-1"}, {"CP28592", "ISO-8859-2"}, {"CP28593", "ISO-8859-3"},
    {"CP28594", "ISO-8859-4"}, {"CP28595", "ISO-8859-5"}, {"CP28596", "ISO-8859-6"},
    {"CP28597", "ISO-8859-7"}, {"CP28598", "ISO-8859-8"}, {"CP28599", "ISO-8859-9"},
    {"CP28605", "ISO-8859-15"}, {"CP38598", "ISO-8859-8"}, {"CP51932", "EUC-JP"},
    {"CP51936", "GB2312"},     {"CP51949", "EUC-KR"},     {"CP51950", "EUC-TW"},
    {"CP54936", "GB18030"},    {"CP65001", "UTF-8"},
};

constexpr std::size_t kMaxEnvironmentCharsetLength = 12;

const char* first_locale_variable() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return value;
  }
  return nullptr;
}

// The charset part of a locale variable ("ll_CC.charset@modifier"), or null when there is none
// that can be used. The result lives in a static buffer when it had to be cut at the "@".
const char* charset_from_environment() {
  static char buffer[kMaxEnvironmentCharsetLength + 1];
  const char* value = first_locale_variable();
  const char* dot = value ? std::strchr(value, '.') : nullptr;
  if (!dot) return nullptr;
  const char* charset = dot + 1;
  const char* at = std::strchr(charset, '@');
  if (!at) return charset;
  std::size_t length = static_cast<std::size_t>(at - charset);
  if (length > kMaxEnvironmentCharsetLength) return nullptr;
  std::memcpy(buffer, charset, length);
  buffer[length] = '\0';
  return buffer;
}

}  // namespace

const char* charset_name_from_codeset(const char* codeset) {
  const char* name = codeset ? codeset : "";
  if (std::strcmp(name, "US-ASCII") == 0) {
    // A platform whose codeset query cannot tell: the locale variables may. Without an active
    // code page on this platform, the codeset answer stands otherwise.
    if (const char* from_environment = charset_from_environment()) return from_environment;
  }
  for (const Alias& entry : kCodePageAliases) {
    if (std::strcmp(entry.alias, name) == 0) return entry.charset;
  }
  return *name ? name : "ASCII";
}

const char* charset_name() { return charset_name_from_codeset(nl_langinfo(CODESET)); }

}  // namespace tevu::condition
