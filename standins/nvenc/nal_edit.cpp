#include "nal_edit.h"

#include <algorithm>

namespace tevu::standin::nvenc {
namespace {

constexpr int kNalIdrSlice = 5;
constexpr int kNalSps = 7;
constexpr uint32_t kLargestIdrPicId = 65535;
constexpr size_t kIdrPicIdWithin = 64;  // bytes of a slice that hold its header up to idr_pic_id

// Reads bits of an unescaped payload, most significant first; reading past the end sets `overrun`.
class BitReader {
public:
    BitReader(const std::vector<uint8_t>& data, size_t bit) : data_(data), bit_(bit) {}
    uint32_t bit() {
        if (bit_ >= data_.size() * 8) {
            overrun_ = true;
            return 0;
        }
        const uint32_t b = (data_[bit_ / 8] >> (7 - bit_ % 8)) & 1;
        ++bit_;
        return b;
    }
    uint32_t bits(int count) {
        uint32_t v = 0;
        while (count-- > 0)
            v = (v << 1) | bit();
        return v;
    }
    uint32_t ue() {
        int zeros = 0;
        while (!overrun_ && bit() == 0)
            if (++zeros > 31) {
                overrun_ = true;
                return 0;
            }
        return (uint32_t(1) << zeros) - 1 + bits(zeros);
    }
    int32_t se() {
        const uint32_t k = ue();
        return k & 1 ? int32_t((k + 1) / 2) : -int32_t(k / 2);
    }
    size_t position() const { return bit_; }
    bool overrun() const { return overrun_; }

private:
    const std::vector<uint8_t>& data_;
    size_t bit_;
    bool overrun_ = false;
};

class BitWriter {
public:
    void bit(uint32_t b) {
        if (used_ % 8 == 0)
            data_.push_back(0);
        if (b)
            data_.back() |= uint8_t(0x80 >> (used_ % 8));
        ++used_;
    }
    void bits(uint32_t value, int count) {
        while (count-- > 0)
            bit((value >> count) & 1);
    }
    void ue(uint32_t value) {
        int length = 0;
        while ((uint64_t(value) + 1) >> (length + 1))
            ++length;
        bits(0, length);
        bits(value + 1, length + 1);
    }
    bool aligned() const { return used_ % 8 == 0; }
    std::vector<uint8_t>& data() { return data_; }

private:
    std::vector<uint8_t> data_;
    size_t used_ = 0;
};

int unit_type(const uint8_t* unit, size_t size) { return size ? unit[0] & 0x1F : -1; }

bool has_chroma_fields(int profile_idc) {
    switch (profile_idc) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
    case 134: case 135: return true;
    default: return false;
    }
}

void skip_scaling_list(BitReader& r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && !r.overrun(); ++j) {
        if (next != 0)
            next = (last + r.se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

std::optional<SequenceLayout> parse_sequence(const std::vector<uint8_t>& payload) {
    SequenceLayout s;
    BitReader r(payload, 8);
    s.profile_idc = int(r.bits(8));
    r.bits(16);  // constraint flags, level
    r.ue();      // seq_parameter_set_id
    if (has_chroma_fields(s.profile_idc)) {
        const uint32_t chroma_format = r.ue();
        if (chroma_format == 3)
            s.separate_colour_planes = r.bit() != 0;
        r.ue();  // bit depths
        r.ue();
        s.transform_bypass_bit = r.position();
        s.transform_bypass = r.bit() != 0;
        if (r.bit())  // seq_scaling_matrix_present_flag
            for (int i = 0; i < (chroma_format == 3 ? 12 : 8); ++i)
                if (r.bit())
                    skip_scaling_list(r, i < 6 ? 16 : 64);
    }
    s.log2_max_frame_num = int(r.ue()) + 4;
    const uint32_t poc_type = r.ue();
    if (poc_type == 0) {
        r.ue();
    } else if (poc_type == 1) {
        r.bit();
        r.se();
        r.se();
        const uint32_t cycle = r.ue();
        for (uint32_t i = 0; i < cycle && !r.overrun(); ++i)
            r.se();
    }
    r.ue();   // max_num_ref_frames
    r.bit();  // gaps_in_frame_num_value_allowed_flag
    r.ue();   // picture size in macroblocks
    r.ue();
    s.frames_only = r.bit() != 0;
    if (r.overrun() || s.log2_max_frame_num > 16)
        return std::nullopt;
    return s;
}

// Reads an IDR slice header up to idr_pic_id: the value and the bit range its code takes.
struct IdrField {
    uint32_t value;
    size_t begin, end;
};

std::optional<IdrField> find_idr_pic_id(const std::vector<uint8_t>& payload, const SequenceLayout& seq) {
    BitReader r(payload, 8);
    r.ue();  // first_mb_in_slice
    r.ue();  // slice_type
    r.ue();  // pic_parameter_set_id
    if (seq.separate_colour_planes)
        r.bits(2);
    r.bits(seq.log2_max_frame_num);
    if (!seq.frames_only && r.bit())  // field_pic_flag, then bottom_field_flag
        r.bit();
    IdrField f;
    f.begin = r.position();
    f.value = r.ue();
    f.end = r.position();
    if (r.overrun())
        return std::nullopt;
    return f;
}

}  // namespace

std::vector<uint8_t> unescape_payload(const uint8_t* unit, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size);
    int zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        if (zeros >= 2 && unit[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = unit[i] == 0 ? zeros + 1 : 0;
        out.push_back(unit[i]);
    }
    return out;
}

std::vector<uint8_t> escape_payload(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    out.reserve(payload.size() + payload.size() / 64 + 2);
    int zeros = 0;
    for (uint8_t b : payload) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
    if (!out.empty() && out.back() == 0)
        out.push_back(3);
    return out;
}

std::optional<SequenceLayout> read_sequence(const uint8_t* unit, size_t size) {
    if (unit_type(unit, size) != kNalSps)
        return std::nullopt;
    return parse_sequence(unescape_payload(unit, size));
}

std::optional<std::vector<uint8_t>> with_transform_bypass(const uint8_t* unit, size_t size) {
    if (unit_type(unit, size) != kNalSps)
        return std::nullopt;
    std::vector<uint8_t> payload = unescape_payload(unit, size);
    const std::optional<SequenceLayout> seq = parse_sequence(payload);
    if (!seq || !seq->transform_bypass_bit)
        return std::nullopt;
    const size_t bit = *seq->transform_bypass_bit;
    payload[bit / 8] |= uint8_t(0x80 >> (bit % 8));
    return escape_payload(payload);
}

std::optional<uint32_t> idr_pic_id(const uint8_t* unit, size_t size, const SequenceLayout& sequence) {
    if (unit_type(unit, size) != kNalIdrSlice)
        return std::nullopt;
    const std::optional<IdrField> f = find_idr_pic_id(unescape_payload(unit, std::min(size, kIdrPicIdWithin)), sequence);
    if (!f)
        return std::nullopt;
    return f->value;
}

std::optional<std::vector<uint8_t>> with_other_idr_pic_id(const uint8_t* unit, size_t size,
                                                          const SequenceLayout& sequence) {
    if (unit_type(unit, size) != kNalIdrSlice)
        return std::nullopt;
    const std::vector<uint8_t> payload = unescape_payload(unit, size);
    const std::optional<IdrField> f = find_idr_pic_id(payload, sequence);
    // Sixteen times (value + 1) has a code of eight more bits: 0 becomes 15, 1 becomes 31.
    if (!f || (uint64_t(f->value) + 1) * 16 - 1 > kLargestIdrPicId)
        return std::nullopt;
    BitWriter w;
    BitReader head(payload, 0);
    while (head.position() < f->begin)
        w.bit(head.bit());
    w.ue((f->value + 1) * 16 - 1);
    BitReader r(payload, f->end);
    while (!w.aligned())
        w.bit(r.bit());
    // Eight bits longer: the reader is on a byte boundary too.
    std::vector<uint8_t>& out = w.data();
    out.insert(out.end(), payload.begin() + long(r.position() / 8), payload.end());
    return escape_payload(out);
}

}  // namespace tevu::standin::nvenc
