#include "locale_setup.h"

#include <libintl.h>

#include <cerrno>
#include <clocale>

namespace tevu::condition {
namespace {

const char* pending_domain = nullptr;
const char* pending_localedir = nullptr;

}  // namespace

void configure_locale(const char* domain, const char* localedir) {
  pending_domain = domain;
  pending_localedir = localedir;
}

void ensure_locale() {
  if (!pending_domain) return;
  const int saved_errno = errno;
  std::setlocale(LC_ALL, "");
  bindtextdomain(pending_domain, pending_localedir);
  textdomain(pending_domain);
  pending_domain = nullptr;
  errno = saved_errno;
}

const char* translated(const char* message) {
  ensure_locale();
  return gettext(message);
}

}  // namespace tevu::condition
