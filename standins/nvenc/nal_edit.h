// Small edits of H.264 NAL units after libx264 wrote them: what a stream of several encoders needs and
// libx264 has no parameter for. A unit is given without its start code, from the NAL header byte on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tevu::standin::nvenc {

// The payload of a unit with its emulation prevention bytes removed, and the reverse.
std::vector<uint8_t> unescape_payload(const uint8_t* unit, size_t size);
std::vector<uint8_t> escape_payload(const std::vector<uint8_t>& payload);

// What slice headers need of a sequence parameter set.
struct SequenceLayout {
    int profile_idc = 0;
    int log2_max_frame_num = 4;
    bool separate_colour_planes = false;
    bool frames_only = true;                       // frame_mbs_only_flag
    std::optional<size_t> transform_bypass_bit;    // bit offset of qpprime_y_zero_transform_bypass_flag
    bool transform_bypass = false;
};

// Reads a sequence parameter set unit; none when it is not one or ends early.
std::optional<SequenceLayout> read_sequence(const uint8_t* unit, size_t size);

// The unit with qpprime_y_zero_transform_bypass_flag set; none when its profile has no such flag.
std::optional<std::vector<uint8_t>> with_transform_bypass(const uint8_t* unit, size_t size);

// The idr_pic_id of an IDR slice unit; none when it is not one or ends early.
std::optional<uint32_t> idr_pic_id(const uint8_t* unit, size_t size, const SequenceLayout& sequence);

// An IDR slice unit whose idr_pic_id differs from `avoid` (the one it carries now). The new value's code
// is exactly one byte longer, so the rest of the slice keeps its bit alignment and moves by one byte.
std::optional<std::vector<uint8_t>> with_other_idr_pic_id(const uint8_t* unit, size_t size,
                                                          const SequenceLayout& sequence);

}  // namespace tevu::standin::nvenc
