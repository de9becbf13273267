#include "host_format.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace tevu::nvenc {
namespace {

std::string render(const Value& v, bool quoted, const HostObjectText& host_text);

std::string join(const std::vector<Value>& items, std::size_t step, const char* separator,
                 const HostObjectText& host_text) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); i += step) {
        if (i) out += ", ";
        out += render(items[i], true, host_text);
        if (step == 2 && i + 1 < items.size()) out += separator + render(items[i + 1], true, host_text);
    }
    return out;
}

std::string render(const Value& v, bool quoted, const HostObjectText& host_text) {
    switch (v.kind()) {
    case Value::Kind::None:
        return "None";
    case Value::Kind::Bool:
        return v.as_bool() ? "True" : "False";
    case Value::Kind::Int:
        return std::to_string(v.as_int());
    case Value::Kind::Unsigned:
        return std::to_string(v.as_unsigned());
    case Value::Kind::Float: {
        std::ostringstream s;
        s << v.as_float();
        return s.str();
    }
    case Value::Kind::Text:
        return quoted ? "'" + v.as_text() + "'" : v.as_text();
    case Value::Kind::Host:
        return host_text(v.as_host(), quoted);
    case Value::Kind::Tuple:
        return "(" + join(v.items(), 1, "", host_text) + (v.items().size() == 1 ? ",)" : ")");
    case Value::Kind::List:
        return "[" + join(v.items(), 1, "", host_text) + "]";
    case Value::Kind::Dict:
        return "{" + join(v.items(), 2, ": ", host_text) + "}";
    }
    return "?";
}

long long as_integer(const Value& v) {
    return v.kind() == Value::Kind::Unsigned ? static_cast<long long>(v.as_unsigned())
           : v.kind() == Value::Kind::Float  ? static_cast<long long>(v.as_float())
                                             : v.as_int();
}

template <class T>
std::string printf_text(const std::string& spec, T argument) {
    std::vector<char> buffer(512);
    int n = std::snprintf(buffer.data(), buffer.size(), spec.c_str(), argument);
    if (n >= static_cast<int>(buffer.size())) {
        buffer.resize(static_cast<std::size_t>(n) + 1);
        n = std::snprintf(buffer.data(), buffer.size(), spec.c_str(), argument);
    }
    return std::string(buffer.data(), static_cast<std::size_t>(std::max(n, 0)));
}

// %x as the interpreter renders it: a minus sign before the magnitude's digits, "0x" before them with the
// # flag (zero included); the width pads with spaces, or with zeros after the sign and prefix (0 flag).
std::string hex_text(const std::string& spec, const Value& v) {
    const bool is_unsigned = v.kind() == Value::Kind::Unsigned;
    const long long signed_value = is_unsigned ? 0 : as_integer(v);
    const bool negative = signed_value < 0;
    const unsigned long long magnitude = is_unsigned ? v.as_unsigned()
                                         : negative  ? 0ULL - static_cast<unsigned long long>(signed_value)
                                                     : static_cast<unsigned long long>(signed_value);
    const std::string flags = spec.substr(1, spec.find_first_not_of("-#0 +", 1) - 1);
    const std::string prefix = std::string(negative ? "-" : "") + (flags.find('#') != std::string::npos ? "0x" : "");
    std::string digits = printf_text("%llx", magnitude);
    const std::size_t width = static_cast<std::size_t>(std::atoi(spec.c_str() + 1 + flags.size()));
    const bool left = flags.find('-') != std::string::npos;
    if (!left && flags.find('0') != std::string::npos && prefix.size() + digits.size() < width)
        digits.insert(0, width - prefix.size() - digits.size(), '0');
    std::string text = prefix + digits;
    if (text.size() < width) text.insert(left ? text.size() : 0, width - text.size(), ' ');
    return text;
}

}  // namespace

std::string percent_format(const std::string& format, const std::vector<Value>& args, const HostObjectText& host_text) {
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            out += format[i];
            continue;
        }
        std::string spec = "%";
        ++i;
        while (i < format.size() && std::strchr("-#0 +.0123456789", format[i])) spec += format[i++];
        if (i >= format.size()) break;
        const char conversion = format[i];
        if (conversion == '%') {
            out += '%';
            continue;
        }
        const Value argument = next < args.size() ? args[next++] : Value();
        switch (conversion) {
        case 'i':
        case 'd':
            out += printf_text(spec + "lld", as_integer(argument));
            break;
        case 'x':
            out += hex_text(spec, argument);
            break;
        case 'f':
            out += printf_text(spec + "f", argument.kind() == Value::Kind::Float ? argument.as_float()
                                                                                  : static_cast<double>(as_integer(argument)));
            break;
        default:
            out += printf_text(spec + "s", render(argument, conversion == 'r', host_text).c_str());
        }
    }
    return out;
}

}  // namespace tevu::nvenc
