#include "host_value.h"

namespace tevu::nvenc {

void Value::set(Value key, Value v) {
    for (std::size_t i = 0; i + 1 < items_.size(); i += 2) {
        const Value& k = items_[i];
        if (k.kind_ == key.kind_ && k.text_ == key.text_ && k.int_ == key.int_ && k.unsigned_ == key.unsigned_ &&
            k.kind_ != Kind::Host && k.kind_ != Kind::Float) {
            items_[i + 1] = std::move(v);
            return;
        }
    }
    items_.push_back(std::move(key));
    items_.push_back(std::move(v));
}

const Value* Value::find(const std::string& key) const {
    for (std::size_t i = 0; i + 1 < items_.size(); i += 2)
        if (items_[i].kind_ == Kind::Text && items_[i].text_ == key) return &items_[i + 1];
    return nullptr;
}

}  // namespace tevu::nvenc
