// "format" % args for the core's own messages and for hosts without a % operator of their own: the
// conversions %s, %r, %i, %d, %x, %f and %% with their flags, width and precision, rendering the core's
// values as the interpreter does (None, True, quoted texts in containers, tuples, lists, dictionaries).
// An object of the host is rendered by the host itself.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host_value.h"

namespace tevu::nvenc {

// The host's rendering of one of its objects: its repr() when `repr`, else its str().
using HostObjectText = std::function<std::string(const HostRef& object, bool repr)>;

std::string percent_format(const std::string& format, const std::vector<Value>& args, const HostObjectText& host_text);

}  // namespace tevu::nvenc
