#include "picture_tools.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>

#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#else
#include <sys/wait.h>
#endif

namespace nvenc_test {
namespace {

enum class Region { Desktop, WindowBody, TitleBar, Glyph, Gradient, MovingBlock };

struct Sample {
    Region region;
    int value;  // gradient level 0..255, else 0
};

uint32_t hash(uint32_t a, uint32_t b) {
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

// Two windows (one with text lines), a gradient panel and a moving block on a flat desktop. Busy: the
// text scrolls and the panel plays a video (a drifting texture with grain that changes every frame).
Sample sample(int x, int y, int width, int height, int frame, bool busy = false) {
    const int block = std::max(8, width / 12);
    const int block_x = (frame * 7) % std::max(1, width - block);
    const int block_y = height / 2 + (frame * 3) % std::max(1, height / 2 - block);
    if (x >= block_x && x < block_x + block && y >= block_y && y < block_y + block)
        return {Region::MovingBlock, 0};
    const int wx0 = width / 16, wx1 = width * 9 / 16, wy0 = height / 12, wy1 = height * 7 / 12;
    if (x >= wx0 && x < wx1 && y >= wy0 && y < wy1) {
        if (y < wy0 + 14)
            return {Region::TitleBar, 0};
        const int scrolled = y + (busy ? frame * 3 : 0);
        const int cx = (x - wx0 - 4) / 7, cy = (scrolled - wy0 - 18) / 12;
        const int gx = (x - wx0 - 4) % 7, gy = (scrolled - wy0 - 18) % 12;
        if (x - wx0 >= 4 && y - wy0 >= 18 && gx < 5 && gy < 8 && hash(cx, cy) % 5 != 0 &&
            (hash(cx * 40 + gx, cy * 9 + gy) & 3) == 0)
            return {Region::Glyph, 0};
        return {Region::WindowBody, 0};
    }
    const int gx0 = width * 5 / 8, gx1 = width * 15 / 16, gy0 = height / 8, gy1 = height * 3 / 8;
    if (x >= gx0 && x < gx1 && y >= gy0 && y < gy1 && busy) {
        const uint32_t texture = hash(uint32_t(x + frame * 5) / 4, uint32_t(y + frame * 2) / 4) % 160;
        return {Region::Gradient, int(texture + hash(uint32_t(x * 7 + frame), uint32_t(y)) % 64)};
    }
    if (x >= gx0 && x < gx1 && y >= gy0 && y < gy1)
        return {Region::Gradient, 255 * (x - gx0) / std::max(1, gx1 - gx0 - 1)};
    return {Region::Desktop, 0};
}

struct Triple {
    uint8_t a, b, c;
};

Triple bgr_of(const Sample& s) {
    switch (s.region) {
    case Region::WindowBody: return {240, 240, 240};
    case Region::TitleBar: return {120, 60, 30};
    case Region::Glyph: return {20, 20, 20};
    case Region::Gradient: return {uint8_t(255 - s.value), uint8_t(s.value / 2 + 60), uint8_t(s.value)};
    case Region::MovingBlock: return {30, 160, 230};
    case Region::Desktop: break;
    }
    return {110, 80, 40};
}

Triple yuv_of(const Sample& s) {
    switch (s.region) {
    case Region::WindowBody: return {222, 128, 128};
    case Region::TitleBar: return {72, 162, 110};
    case Region::Glyph: return {34, 128, 128};
    case Region::Gradient: return {uint8_t(40 + s.value * 170 / 255), uint8_t(200 - s.value / 2), uint8_t(70 + s.value / 2)};
    case Region::MovingBlock: return {150, 70, 190};
    case Region::Desktop: break;
    }
    return {90, 150, 110};
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::vector<uint8_t> desktop_bgrx(int width, int height, int frame, bool busy) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const Triple c = bgr_of(sample(x, y, width, height, frame, busy));
            uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = c.a;
            p[1] = c.b;
            p[2] = c.c;
            p[3] = 255;
        }
    return pixels;
}

YuvPicture desktop_yuv(int width, int height, int frame, bool yuv444) {
    YuvPicture pic;
    pic.width = width;
    pic.height = height;
    pic.yuv444 = yuv444;
    pic.y.resize(static_cast<size_t>(width) * height);
    const int cw = pic.chroma_width(), ch = pic.chroma_height(), step = yuv444 ? 1 : 2;
    pic.u.resize(static_cast<size_t>(cw) * ch);
    pic.v.resize(pic.u.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pic.y[static_cast<size_t>(y) * width + x] = yuv_of(sample(x, y, width, height, frame)).a;
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x) {
            const Triple c = yuv_of(sample(x * step, y * step, width, height, frame));
            pic.u[static_cast<size_t>(y) * cw + x] = c.b;
            pic.v[static_cast<size_t>(y) * cw + x] = c.c;
        }
    return pic;
}

std::vector<uint8_t> to_pitched(const YuvPicture& pic, int pitch) {
    const int rows = pic.yuv444 ? pic.height * 3 : pic.height * 3 / 2;
    std::vector<uint8_t> buffer(static_cast<size_t>(pitch) * rows);
    for (int y = 0; y < pic.height; ++y)
        std::copy_n(&pic.y[static_cast<size_t>(y) * pic.width], pic.width, &buffer[static_cast<size_t>(y) * pitch]);
    const int cw = pic.chroma_width(), ch = pic.chroma_height();
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x) {
            const size_t src = static_cast<size_t>(y) * cw + x;
            if (pic.yuv444) {
                buffer[static_cast<size_t>(pic.height + y) * pitch + x] = pic.u[src];
                buffer[static_cast<size_t>(2 * pic.height + y) * pitch + x] = pic.v[src];
            } else {
                buffer[static_cast<size_t>(pic.height + y) * pitch + 2 * x] = pic.u[src];
                buffer[static_cast<size_t>(pic.height + y) * pitch + 2 * x + 1] = pic.v[src];
            }
        }
    return buffer;
}

YuvPicture from_pitched(const uint8_t* buffer, int pitch, int width, int height, bool yuv444) {
    YuvPicture pic;
    pic.width = width;
    pic.height = height;
    pic.yuv444 = yuv444;
    pic.y.resize(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        std::copy_n(buffer + static_cast<size_t>(y) * pitch, width, &pic.y[static_cast<size_t>(y) * width]);
    const int cw = pic.chroma_width(), ch = pic.chroma_height();
    pic.u.resize(static_cast<size_t>(cw) * ch);
    pic.v.resize(pic.u.size());
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x) {
            const size_t dst = static_cast<size_t>(y) * cw + x;
            if (yuv444) {
                pic.u[dst] = buffer[static_cast<size_t>(height + y) * pitch + x];
                pic.v[dst] = buffer[static_cast<size_t>(2 * height + y) * pitch + x];
            } else {
                pic.u[dst] = buffer[static_cast<size_t>(height + y) * pitch + 2 * x];
                pic.v[dst] = buffer[static_cast<size_t>(height + y) * pitch + 2 * x + 1];
            }
        }
    return pic;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/nvenc_standin_XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
#if defined(_WIN32)
    if (_mktemp_s(name.data(), name.size()) != 0 || _mkdir(name.data()) != 0)
#else
    if (!mkdtemp(name.data()))
#endif
        throw std::runtime_error("cannot create a temporary directory");
    dir_ = name.data();
}

TempDir::~TempDir() { run_command("rm -rf '" + dir_ + "'"); }

int run_command(const std::string& command, std::string* output) {
    struct PipeCloser {
        void operator()(std::FILE* f) const { pclose(f); }
    };
    std::FILE* raw = popen(command.c_str(), "r");
    if (!raw)
        return -1;
    std::unique_ptr<std::FILE, PipeCloser> pipe(raw);
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, raw)) > 0)
        text.append(chunk, n);
    const int status = pclose(pipe.release());
    if (output)
        *output = text;
#if defined(_WIN32)
    return status;  // the command's exit status
#else
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

DecodedStream decode_h264(const std::vector<uint8_t>& stream, bool yuv444) { return decode_stream(stream, yuv444, "h264"); }

DecodedStream decode_stream(const std::vector<uint8_t>& stream, bool yuv444, const std::string& format) {
    DecodedStream result;
    TempDir dir;
    const std::string in = dir.path("in." + format), out = dir.path("out.yuv");
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
    std::string text;
    if (run_command("ffprobe -v error -f " + format + " -select_streams v:0 -show_entries stream=width,height,pix_fmt -of csv=p=0 '" + in +
                        "' 2>&1",
                    &text) != 0 ||
        std::sscanf(text.c_str(), "%d,%d", &result.width, &result.height) != 2) {
        result.error = "ffprobe: " + text;
        return result;
    }
    result.pixel_format = text.substr(text.rfind(',') + 1);
    result.pixel_format.erase(result.pixel_format.find_last_not_of(" \r\n") + 1);
    const std::string fmt = yuv444 ? "yuv444p" : "yuv420p";
    if (run_command("ffmpeg -nostdin -v error -f " + format + " -i '" + in + "' -fps_mode passthrough -f rawvideo -pix_fmt " + fmt + " '" + out +
                        "' 2>&1",
                    &text) != 0 ||
        !text.empty()) {
        result.error = "ffmpeg: " + text;
        return result;
    }
    const std::vector<uint8_t> raw = read_file(out);
    YuvPicture shape;
    shape.width = result.width;
    shape.height = result.height;
    shape.yuv444 = yuv444;
    const size_t luma = static_cast<size_t>(shape.width) * shape.height;
    const size_t chroma = static_cast<size_t>(shape.chroma_width()) * shape.chroma_height();
    const size_t frame = luma + 2 * chroma;
    if (frame == 0 || raw.size() % frame != 0) {
        result.error = "decoded size is not a whole number of frames";
        return result;
    }
    for (size_t at = 0; at < raw.size(); at += frame) {
        YuvPicture pic = shape;
        pic.y.assign(raw.begin() + at, raw.begin() + at + luma);
        pic.u.assign(raw.begin() + at + luma, raw.begin() + at + luma + chroma);
        pic.v.assign(raw.begin() + at + luma + chroma, raw.begin() + at + frame);
        result.frames.push_back(std::move(pic));
    }
    return result;
}

std::vector<long> header_values(const std::vector<uint8_t>& stream, const std::string& element) {
    TempDir dir;
    const std::string in = dir.path("in.h264");
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
    std::string text;
    if (run_command("ffmpeg -nostdin -hide_banner -v info -f h264 -i '" + in +
                        "' -c copy -bsf:v trace_headers -f null - 2>&1",
                    &text) != 0)
        return {};
    // Lines such as "[trace_headers @ 0x5581] 25  idr_pic_id  1 = 0": position, name, bits, value.
    std::vector<long> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t bracket = line.find("] ");
        if (line.rfind("[trace_headers", 0) != 0 || bracket == std::string::npos)
            continue;
        std::istringstream fields(line.substr(bracket + 2));
        std::string position, name, bits, equals;
        long value = 0;
        if (fields >> position >> name >> bits >> equals >> value && name == element && equals == "=")
            values.push_back(value);
    }
    return values;
}

double psnr(const YuvPicture& a, const YuvPicture& b) {
    if (a.y.size() != b.y.size() || a.u.size() != b.u.size() || a.v.size() != b.v.size())
        return 0.0;
    double sum = 0;
    size_t count = 0;
    for (const auto& planes : {std::make_pair(&a.y, &b.y), std::make_pair(&a.u, &b.u), std::make_pair(&a.v, &b.v)}) {
        for (size_t i = 0; i < planes.first->size(); ++i) {
            const double d = double((*planes.first)[i]) - double((*planes.second)[i]);
            sum += d * d;
        }
        count += planes.first->size();
    }
    if (sum == 0)
        return 200.0;
    return 10.0 * std::log10(255.0 * 255.0 * count / sum);
}

bool identical(const YuvPicture& a, const YuvPicture& b) {
    return a.width == b.width && a.height == b.height && a.y == b.y && a.u == b.u && a.v == b.v;
}

std::vector<int> nal_types(const std::vector<uint8_t>& s, bool hevc) {
    std::vector<int> types;
    for (size_t i = 0; i + 3 < s.size(); ++i)
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            types.push_back(hevc ? (s[i + 3] >> 1) & 0x3F : s[i + 3] & 0x1F);
            i += 3;
        }
    return types;
}

std::vector<int> obu_types(const std::vector<uint8_t>& s) {
    std::vector<int> types;
    for (size_t at = 0; at < s.size();) {
        const uint8_t header = s[at];
        const bool extension = header & 0x04, has_size = header & 0x02;
        size_t size = 0, pos = at + 1 + (extension ? 1 : 0);
        for (int shift = 0; has_size && pos < s.size(); shift += 7) {  // leb128
            size |= size_t(s[pos] & 0x7F) << shift;
            if (!(s[pos++] & 0x80))
                break;
        }
        if (!has_size || pos + size > s.size()) {
            types.push_back(-1);
            break;
        }
        types.push_back((header >> 3) & 0x0F);
        at = pos + size;
    }
    return types;
}

}  // namespace nvenc_test
