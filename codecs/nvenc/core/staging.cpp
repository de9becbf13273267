#include "staging.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tevu::nvenc {
namespace {

std::string describe(const ImageRows& image, const StagingBuffer& buffer) {
    return " image: " + std::to_string(image.width) + "x" + std::to_string(image.height) +
           " stride=" + std::to_string(image.stride) + ", input buffer: stride=" + std::to_string(buffer.pitch) +
           ", height=" + std::to_string(buffer.rows);
}

// The bytes an image of these dimensions needs: every row but the last at the stride, then one row.
std::size_t required_bytes(const ImageRows& image) {
    if (image.height == 0) return 0;
    return static_cast<std::size_t>(image.height - 1) * image.stride + static_cast<std::size_t>(image.width) * 4;
}

void check_geometry(const ImageRows& image, const StagingBuffer& buffer) {
    if (image.stride < static_cast<std::size_t>(image.width) * 4)
        throw StagingError("invalid rowstride " + std::to_string(image.stride) + " for width " +
                           std::to_string(image.width) + describe(image, buffer));
    if (image.length < required_bytes(image))
        throw StagingError("not enough pixels (expected " + std::to_string(required_bytes(image)) + " min, got " +
                           std::to_string(image.length) + ")" + describe(image, buffer));
}

}  // namespace

StagingResult stage_pixels(const ImageRows& image, const StagingBuffer& buffer) {
    const std::size_t size = static_cast<std::size_t>(buffer.pitch) * buffer.rows;
    if (image.stride <= buffer.pitch) {
        if (image.length > size)
            throw TooManyPixels("too many pixels (expected " + std::to_string(size) + " max, got " +
                               std::to_string(image.length) + ")" + describe(image, buffer));
        check_geometry(image, buffer);
        std::memcpy(buffer.data, image.pixels, image.length);
        return {image.stride, false, image.length};
    }
    check_geometry(image, buffer);
    const uint32_t rows = std::min(image.height, buffer.rows);
    for (uint32_t y = 0; y < rows; ++y) {
        const std::size_t offset = static_cast<std::size_t>(y) * image.stride;
        const std::size_t n = std::min<std::size_t>(buffer.pitch, image.length - offset);
        std::memcpy(buffer.data + static_cast<std::size_t>(y) * buffer.pitch, image.pixels + offset, n);
    }
    return {buffer.pitch, true, static_cast<std::size_t>(buffer.pitch) * image.height};
}

}  // namespace tevu::nvenc
