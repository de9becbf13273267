// Copies an image's BGRX rows into the page-locked staging buffer without reading past the pixels or
// writing past the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace tevu::nvenc {

struct StagingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// More pixels than the staging buffer holds.
struct TooManyPixels : StagingError {
    using StagingError::StagingError;
};

struct ImageRows {
    const uint8_t* pixels;
    std::size_t length;  // bytes available at pixels
    uint32_t width;
    uint32_t height;
    uint32_t stride;  // bytes per row
};

struct StagingBuffer {
    uint8_t* data;
    uint32_t pitch;  // bytes per row
    uint32_t rows;
};

struct StagingResult {
    uint32_t source_pitch;  // row pitch of the staged pixels, for the kernel
    bool row_by_row;
    std::size_t bytes;      // bytes staged (for the log)
};

// Whole image in one copy when its rows fit the pitch, else row by row cut to the pitch. Rows beyond
// the buffer's are dropped (an odd extra row). Throws StagingError for too many or too few pixels.
StagingResult stage_pixels(const ImageRows& image, const StagingBuffer& buffer);

}  // namespace tevu::nvenc
