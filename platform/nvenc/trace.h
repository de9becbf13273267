// One line per entry-point call, "name key=value ...", appended to the file NVENC_EMU_TRACE names.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

namespace nvenc_emu {

class TraceLine {
public:
    explicit TraceLine(const std::string& entry) { text_ << entry; }
    TraceLine& add(const char* key, long long value) {
        text_ << ' ' << key << '=' << value;
        return *this;
    }
    TraceLine& add_hex(const char* key, uint64_t value) {
        text_ << ' ' << key << "=0x" << std::hex << value << std::dec;
        return *this;
    }
    TraceLine& add(const char* key, const std::string& value) {
        text_ << ' ' << key << '=' << value;
        return *this;
    }
    std::string str() const { return text_.str(); }

private:
    std::ostringstream text_;
};

// Appends the line (and a line feed) to the file; nothing when the path is empty.
void append_trace(const std::string& path, const TraceLine& line);

}  // namespace nvenc_emu
