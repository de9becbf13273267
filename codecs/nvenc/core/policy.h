// Pure arithmetic of the encoder: geometry, bitrate, quality hysteresis, kernel grid, quantiser bounds.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace tevu::nvenc {

inline uint32_t round_up_32(uint32_t v) { return (v + 31) & ~31u; }

// The scaled dimension v * num // den, rounded up to a multiple of 32.
inline uint32_t scaled_dimension(uint32_t v, int num, int den) {
    return round_up_32(static_cast<uint32_t>(static_cast<long long>(v) * num / den));
}

// Bytes per row of the device buffer receiving BGRX pixels: at least 2560 pixels wide.
inline uint32_t input_row_bytes(uint32_t input_width) { return std::max<uint32_t>(2560, input_width) * 4; }

// Size of the bitstream buffer: three halves of the picture area, capped at 2 MiB.
inline uint32_t bitstream_buffer_size(uint32_t width, uint32_t height) {
    return static_cast<uint32_t>(std::min<uint64_t>(2097152, static_cast<uint64_t>(width) * height * 3 / 2));
}

// The most a bitstream buffer grows to for a picture that does not fit: 8 bytes per pixel (a lossless
// 4:4:4 picture of noise takes more than its 3 bytes per pixel of samples) and room for the headers.
inline uint32_t bitstream_buffer_limit(uint32_t width, uint32_t height) {
    const uint64_t limit = static_cast<uint64_t>(width) * height * 8 + 65536;
    return static_cast<uint32_t>(std::min<uint64_t>(limit, UINT32_MAX));
}

// The next size of a bitstream buffer that was too small: twice the size, at most the limit; 0 when it
// is at the limit already.
inline uint32_t grown_bitstream_size(uint32_t current, uint32_t limit) {
    if (current >= limit) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(limit, std::max<uint64_t>(1, 2 * static_cast<uint64_t>(current))));
}

struct Bitrates {
    uint32_t target;
    uint32_t max;
};

// Bitrate figures for a speed (0..100, -1 allowed) and an encoder size.
inline Bitrates compute_bitrates(int speed, uint32_t width, uint32_t height, bool nv12) {
    const double megapixels = static_cast<uint32_t>(width * height) / 1000000.0;
    const double multiplier = nv12 ? 0.5 : 1.0;
    const double raw = std::trunc(std::pow(0.5 + speed / 200.0, 8) * 100000000.0 * megapixels * multiplier);
    const double target = std::min(100000000.0, std::max(1000000.0, raw));
    const auto t = static_cast<uint32_t>(target);
    return {t, 2 * t};
}

// The quality the encoder aims at, resisting changes of 10 or less. Any int is accepted: the
// difference is taken in 64 bits, and the result stays between `quality` and `current`.
inline int target_quality(int quality, int current, int lossless_threshold) {
    if (quality >= lossless_threshold) return 100;
    const long long raw_delta = static_cast<long long>(quality) - current;
    const long long max_delta = std::max(-1LL, std::min(1LL, raw_delta)) * 10;
    const long long delta = std::llabs(raw_delta) < std::llabs(max_delta) ? raw_delta : max_delta;
    return static_cast<int>(quality - delta);
}

// How far a preset's (speed, quality) rank lies from the wanted one; the lowest score wins. Any int
// is accepted (64-bit arithmetic).
inline long long preset_score(int preset_speed, int preset_quality, int speed, int quality) {
    return 2 * std::llabs(static_cast<long long>(preset_speed) - speed) +
           3 * std::llabs(static_cast<long long>(preset_quality) - quality);
}

// The span from the first frame's timestamp to this one's (never negative: the caller refuses an
// earlier timestamp). Taken modulo 2^64, so that the full range of 64-bit timestamps fits.
inline uint64_t timestamp_span(long long timestamp, long long first) {
    return static_cast<uint64_t>(timestamp) - static_cast<uint64_t>(first);
}

// One grid dimension: blocks of 16 threads each covering 16 * divisor pixels.
inline uint32_t grid_dimension(uint32_t pixels, uint32_t divisor) {
    const uint32_t span = 16 * divisor;
    uint32_t n = std::max<uint32_t>(1, pixels / span);
    if (n * span < pixels) ++n;
    return n;
}

// The host's runtime factor: 1 below the session limit, 0 at it, divided down after a failure.
inline double runtime_factor(std::size_t device_count, long long open_sessions, double failure_elapsed) {
    const long long max_contexts = 32 * static_cast<long long>(device_count);
    const long long low_limit = 16;
    const long long over = std::max(0LL, open_sessions - low_limit);
    const long long q = over / std::max(1LL, max_contexts - low_limit);
    double f = std::max(0.0, 1.0 - static_cast<double>(q));
    f = f / (61 - std::min(60.0, failure_elapsed));
    return f;
}

constexpr int kMaxQuantiser = 51;

struct QuantiserRange {
    int min;
    int max;
};

// kMaxQuantiser less the share q% of it, kept within 0..kMaxQuantiser whatever q is.
inline int quantiser_for(long long q) {
    const long long share = kMaxQuantiser * std::clamp(q, -1000LL, 1000LL) / 100;
    return kMaxQuantiser - static_cast<int>(std::clamp<long long>(share, 0, kMaxQuantiser));
}

// The session's quantiser range for a quality (the API-4.0 rate control).
inline QuantiserRange session_quantisers(int q) {
    return {quantiser_for(static_cast<long long>(q) + 20), quantiser_for(q)};
}
// Each picture's quantiser range: the upper bound uses q - 20.
inline QuantiserRange picture_quantisers(int q) {
    return {quantiser_for(static_cast<long long>(q) + 20), quantiser_for(static_cast<long long>(q) - 20)};
}
// A range of the scale 0..kMaxQuantiser on a codec's scale 0..max_quantiser, no bound below `lowest`.
inline QuantiserRange on_scale(QuantiserRange range, int max_quantiser, int lowest = 0) {
    return {std::max(range.min * max_quantiser / kMaxQuantiser, lowest),
            std::max(range.max * max_quantiser / kMaxQuantiser, lowest)};
}

}  // namespace tevu::nvenc
