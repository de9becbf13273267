// What the client tests share: the fixture with a CUDA context and the kernels, environment settings for a
// scope, and the trace file's lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cuda_client.h"
#include "nvenc_client.h"
#include "picture_tools.h"

namespace nvenc_test {

// Sets an environment variable for the scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        const char* old = std::getenv(name);
        if (old)
            old_ = std::string(old);
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

struct EncodedRun {
    std::vector<uint8_t> stream;
    std::vector<std::vector<uint8_t>> pictures;
    std::vector<YuvPicture> converted;  // what the kernel wrote for each frame
};

class StandinClient : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::ifstream(kernels_ptx_path()))
            GTEST_SKIP() << "no kernels at " << kernels_ptx_path() << " (built only with the CUDA toolkit)";
        context_ = std::make_unique<CudaContext>();
        current_ = std::make_unique<CurrentContext>(*context_);
        kernels_ = std::make_unique<ConversionKernels>(kernels_ptx_path());
    }

    EncodedRun encode(const EncoderOptions& options, int frames) {
        EncodedRun run;
        ClientEncoder encoder(*context_, *kernels_, options);
        for (int i = 0; i < frames; ++i) {
            run.pictures.push_back(encoder.encode(desktop_bgrx(options.width, options.height, i)));
            run.stream.insert(run.stream.end(), run.pictures.back().begin(), run.pictures.back().end());
            run.converted.push_back(encoder.converted());
        }
        return run;
    }

    std::unique_ptr<CudaContext> context_;
    std::unique_ptr<CurrentContext> current_;  // the kernels' module lives in the current context
    std::unique_ptr<ConversionKernels> kernels_;
};

inline std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The lines of an entry point in the trace, and whether one holds every expected "key=value".
inline std::vector<std::string> lines_of(const std::vector<std::string>& trace, const std::string& entry) {
    std::vector<std::string> found;
    for (const auto& line : trace)
        if (line.rfind(entry + " ", 0) == 0)
            found.push_back(line + " ");
    return found;
}

inline bool has_fields(const std::string& line, const std::vector<std::string>& fields) {
    for (const auto& f : fields)
        if (line.find(" " + f + " ") == std::string::npos)
            return false;
    return true;
}

}  // namespace nvenc_test
