// The values the encoder core hands to its host: the arguments of log lines and messages, and what it
// reports. A value is what the host's own formatting shows (the host renders it with its own types),
// so that a line reads the same whichever code made it. Objects of the host (a device, a kernel, the
// caller's format list) travel through the core as opaque references.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace tevu::nvenc {

// An object of the host that the core keeps and passes back without looking inside.
class HostObject {
public:
    virtual ~HostObject() = default;
};
using HostRef = std::shared_ptr<const HostObject>;

class Value {
public:
    enum class Kind { None, Bool, Int, Unsigned, Float, Text, Host, Tuple, List, Dict };

    Value() noexcept = default;  // None
    static Value boolean(bool v) { return Value(Kind::Bool).with_int(v ? 1 : 0); }
    static Value integer(long long v) { return Value(Kind::Int).with_int(v); }
    static Value unsigned_integer(unsigned long long v) {
        Value r(Kind::Unsigned);
        r.unsigned_ = v;
        return r;
    }
    static Value floating(double v) {
        Value r(Kind::Float);
        r.float_ = v;
        return r;
    }
    static Value text(std::string s) {
        Value r(Kind::Text);
        r.text_ = std::move(s);
        return r;
    }
    static Value host(HostRef object) {
        if (!object) return Value();
        Value r(Kind::Host);
        r.host_ = std::move(object);
        return r;
    }
    static Value tuple(std::vector<Value> items) { return Value(Kind::Tuple).with_items(std::move(items)); }
    static Value list(std::vector<Value> items) { return Value(Kind::List).with_items(std::move(items)); }
    // A dictionary in insertion order; a key given again replaces the earlier entry's value in place.
    static Value dict() { return Value(Kind::Dict); }
    void set(Value key, Value v);

    Kind kind() const noexcept { return kind_; }
    bool is_none() const noexcept { return kind_ == Kind::None; }
    bool as_bool() const noexcept { return int_ != 0; }
    long long as_int() const noexcept { return int_; }
    unsigned long long as_unsigned() const noexcept { return unsigned_; }
    double as_float() const noexcept { return float_; }
    const std::string& as_text() const noexcept { return text_; }
    const HostRef& as_host() const noexcept { return host_; }
    // Tuple and list items; for a dictionary, keys and values alternating.
    const std::vector<Value>& items() const noexcept { return items_; }
    // A dictionary's value under a text key; null when absent.
    const Value* find(const std::string& key) const;

private:
    explicit Value(Kind kind) noexcept : kind_(kind) {}
    Value with_int(long long v) && {
        int_ = v;
        return std::move(*this);
    }
    Value with_items(std::vector<Value> items) && {
        items_ = std::move(items);
        return std::move(*this);
    }

    Kind kind_ = Kind::None;
    long long int_ = 0;
    unsigned long long unsigned_ = 0;
    double float_ = 0;
    std::string text_;
    HostRef host_;
    std::vector<Value> items_;
};

// --- C++ values as the host shows them ----------------------------------------------------------------
inline Value value(const Value& v) { return v; }
inline Value value(const std::string& s) { return Value::text(s); }
inline Value value(const char* s) { return s ? Value::text(s) : Value(); }
inline Value value(bool b) { return Value::boolean(b); }
inline Value value(double d) { return Value::floating(d); }
inline Value value(const HostRef& object) { return Value::host(object); }
template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
Value value(T v) {
    if constexpr (std::is_signed_v<T>)
        return Value::integer(static_cast<long long>(v));
    else
        return Value::unsigned_integer(static_cast<unsigned long long>(v));
}
template <class T, std::enable_if_t<std::is_enum_v<T>, int> = 0>
Value value(T v) {
    return value(static_cast<std::underlying_type_t<T>>(v));
}
// Pointers are shown as their address (formatted with %#x).
template <class T>
Value value(T* p) {
    return Value::unsigned_integer(reinterpret_cast<uintptr_t>(p));
}
template <class... A>
Value tuple_value(const A&... items) {
    return Value::tuple({value(items)...});
}

// A value made only when it is shown: the argument of a log line that the host may drop, made by
// `make` once the line is known to be logged (lazy([&] { return host.version(); })).
template <class Make>
struct Lazy {
    Make make;
};
template <class Make>
Lazy<Make> lazy(Make make) {
    return {std::move(make)};
}
template <class Make>
Value value(const Lazy<Make>& v) {
    return value(v.make());
}

}  // namespace tevu::nvenc
