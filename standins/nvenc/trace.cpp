#include "trace.h"

#include <cstdio>
#include <memory>

namespace tevu::standin::nvenc {

void append_trace(const std::string& path, const TraceLine& line) {
    if (path.empty())
        return;
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "a"));
    if (!file)
        return;
    const std::string text = line.str() + "\n";
    std::fwrite(text.data(), 1, text.size(), file.get());
}

}  // namespace tevu::standin::nvenc
