// The project's declarations of the NVENC API 4.0, 5.0 and 12.0: structures, enumerations, GUIDs,
// entry-point types and structure version words, binary-compatible with the driver on x86-64, 32-bit x86
// (API 4.0 and 5.0) and Windows.
//
// Layout. Every structure keeps the driver's member order and types, including its reserved arrays, so
// that sizeof and the member offsets come out as the driver expects on each ABI. The x86-64 sizes and key
// offsets are checked at compile time below; a 32-bit test build checks the i386 ones. Structures that
// only appear behind a pointer in an entry point the modules never call are declared but not defined.
//
// API selection. A translation unit chooses its API by defining TEVU_NVENC_API_VERSION as 0x50 (API 5.0),
// 0x40 (API 4.0) or 0xC0 (API 12.0) before including this header; there is no default. That value becomes
// NVENCAPI_VERSION and the *_VER constants, and picks the layout behind the name NV_ENC_PIC_PARAMS: the
// two APIs differ only in the picture parameters, where API 4.0 has newEncodeWidth, newEncodeHeight and a
// per-picture rcParams block after codecPicParams, and API 5.0 the motion-estimation hints and what follows.
// Both layouts are always declared, as NV_ENC_PIC_PARAMS_V4 and NV_ENC_PIC_PARAMS_V5 (same size, same
// leading members), so code that serves clients of both APIs in one library (the driver stand-in) can read
// either; a module built for 4.0 simply writes params.rcParams through NV_ENC_PIC_PARAMS. NVENCAPI_VERSION
// is a constant, not a macro: preprocessor tests of the API use TEVU_NVENC_API_VERSION.
//
// API 12.0 keeps the size of every structure that the modules use but one: its codec picture parameters
// grew by 16 bytes, so its picture parameters are NV_ENC_PIC_PARAMS_V12 (3360 bytes; every member after
// codecPicParams moved by 16). The members it added elsewhere sit where 4.0 and 5.0 have reserved space,
// and are declared there under their 12.0 names (a client of an older API leaves them zero).
//
// Version words. A structure's word is sizeof | revision << 16 | api << 24 up to API 5.0, and
// NVENCAPI_VERSION | revision << 16 | 0x7 << 28 from API 12.0 (no size), with bit 31 set for the
// structures the driver marks so. nvenc_struct_version<T>(api) computes it for any versioned structure
// and any API value; the revision (and the bit-31 mark) of each structure is given once, by the
// nvenc_revision overloads. No word is written as a literal; nvenc_word_size/_revision/_api take one apart.
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef TEVU_NVENC_API_VERSION
#error "define TEVU_NVENC_API_VERSION (0x40, 0x50 or 0xC0): the API whose layouts the bare names take"
#endif
#if TEVU_NVENC_API_VERSION != 0x50 && TEVU_NVENC_API_VERSION != 0x40 && TEVU_NVENC_API_VERSION != 0xC0
#error "TEVU_NVENC_API_VERSION must be 0x50 (API 5.0), 0x40 (API 4.0) or 0xC0 (API 12.0)"
#endif

// The driver's calling convention: __stdcall on 32-bit Windows, the C convention everywhere else.
#if defined(_WIN32) && !defined(_WIN64)
#define NVENCAPI __stdcall
#else
#define NVENCAPI
#endif

// ---------------------------------------------------------------------------------------------------------
// GUID: 16 bytes, the Windows layout. On Windows the system's own definition is used.
#if defined(_WIN32)
#include <guiddef.h>
#else
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
#endif
static_assert(sizeof(GUID) == 16, "GUID must be 16 bytes");

constexpr bool nvenc_same_guid(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

// Codecs.
inline constexpr GUID NV_ENC_CODEC_H264_GUID = {
    0x6BC82762, 0x4E63, 0x4CA4, {0xAA, 0x85, 0x1E, 0x50, 0xF3, 0x21, 0xF6, 0xBF}};
inline constexpr GUID NV_ENC_CODEC_HEVC_GUID = {
    0x790CDC88, 0x4522, 0x4D7B, {0x94, 0x25, 0xBD, 0xA9, 0x97, 0x5F, 0x76, 0x03}};
inline constexpr GUID NV_ENC_CODEC_AV1_GUID = {  // API 12.0
    0x0A352289, 0x0AA7, 0x4759, {0x86, 0x2D, 0x5D, 0x15, 0xCD, 0x16, 0xD2, 0x54}};

// Profiles.
inline constexpr GUID NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID = {
    0xBFD6F8E7, 0x233C, 0x4341, {0x8B, 0x3E, 0x48, 0x18, 0x52, 0x38, 0x03, 0xF4}};
inline constexpr GUID NV_ENC_H264_PROFILE_BASELINE_GUID = {
    0x0727BCAA, 0x78C4, 0x4C83, {0x8C, 0x2F, 0xEF, 0x3D, 0xFF, 0x26, 0x7C, 0x6A}};
inline constexpr GUID NV_ENC_H264_PROFILE_MAIN_GUID = {
    0x60B5C1D4, 0x67FE, 0x4790, {0x94, 0xD5, 0xC4, 0x72, 0x6D, 0x7B, 0x6E, 0x6D}};
inline constexpr GUID NV_ENC_H264_PROFILE_HIGH_GUID = {
    0xE7CBC309, 0x4F7A, 0x4B89, {0xAF, 0x2A, 0xD5, 0x37, 0xC9, 0x2B, 0xE3, 0x10}};
inline constexpr GUID NV_ENC_H264_PROFILE_STEREO_GUID = {
    0x40847BF5, 0x33F7, 0x4601, {0x90, 0x84, 0xE8, 0xFE, 0x3C, 0x1D, 0xB8, 0xB7}};
inline constexpr GUID NV_ENC_H264_PROFILE_SVC_TEMPORAL_SCALABILTY = {
    0xCE788D20, 0xAAA9, 0x4318, {0x92, 0xBB, 0xAC, 0x7E, 0x85, 0x8C, 0x8D, 0x36}};
inline constexpr GUID NV_ENC_H264_PROFILE_CONSTRAINED_HIGH_GUID = {
    0xAEC1BD87, 0xE85B, 0x48F2, {0x84, 0xC3, 0x98, 0xBC, 0xA6, 0x28, 0x50, 0x72}};
inline constexpr GUID NV_ENC_H264_PROFILE_HIGH_444_GUID = {
    0x7AC663CB, 0xA598, 0x4960, {0xB8, 0x44, 0x33, 0x9B, 0x26, 0x1A, 0x7D, 0x52}};
inline constexpr GUID NV_ENC_HEVC_PROFILE_MAIN_GUID = {
    0xB514C39A, 0xB55B, 0x40FA, {0x87, 0x8F, 0xF1, 0x25, 0x3B, 0x4D, 0xFD, 0xEC}};
// Profiles of API 12.0.
inline constexpr GUID NV_ENC_H264_PROFILE_PROGRESSIVE_HIGH_GUID = {
    0xB405AFAC, 0xF32B, 0x417B, {0x89, 0xC4, 0x9A, 0xBE, 0xED, 0x3E, 0x59, 0x78}};
inline constexpr GUID NV_ENC_HEVC_PROFILE_MAIN10_GUID = {
    0xFA4D2B6C, 0x3A5B, 0x411A, {0x80, 0x18, 0x0A, 0x3F, 0x5E, 0x3C, 0x9B, 0xE5}};
inline constexpr GUID NV_ENC_HEVC_PROFILE_FREXT_GUID = {
    0x51EC32B5, 0x1B4C, 0x453C, {0x9C, 0xBD, 0xB6, 0x16, 0xBD, 0x62, 0x13, 0x41}};
inline constexpr GUID NV_ENC_AV1_PROFILE_MAIN_GUID = {
    0x5F2A39F5, 0xF14E, 0x4F95, {0x9A, 0x9E, 0xB7, 0x6D, 0x56, 0x8F, 0xCF, 0x97}};

// Presets.
inline constexpr GUID NV_ENC_PRESET_DEFAULT_GUID = {
    0xB2DFB705, 0x4EBD, 0x4C49, {0x9B, 0x5F, 0x24, 0xA7, 0x77, 0xD3, 0xE5, 0x87}};
inline constexpr GUID NV_ENC_PRESET_HP_GUID = {
    0x60E4C59F, 0xE846, 0x4484, {0xA5, 0x6D, 0xCD, 0x45, 0xBE, 0x9F, 0xDD, 0xF6}};
inline constexpr GUID NV_ENC_PRESET_HQ_GUID = {
    0x34DBA71D, 0xA77B, 0x4B8F, {0x9C, 0x3E, 0xB6, 0xD5, 0xDA, 0x24, 0xC0, 0x12}};
inline constexpr GUID NV_ENC_PRESET_BD_GUID = {
    0x82E3E450, 0xBDBB, 0x4E40, {0x98, 0x9C, 0x82, 0xA9, 0x0D, 0xF9, 0xEF, 0x32}};
inline constexpr GUID NV_ENC_PRESET_LOW_LATENCY_DEFAULT_GUID = {
    0x49DF21C5, 0x6DFA, 0x4FEB, {0x97, 0x87, 0x6A, 0xCC, 0x9E, 0xFF, 0xB7, 0x26}};
inline constexpr GUID NV_ENC_PRESET_LOW_LATENCY_HQ_GUID = {
    0xC5F733B9, 0xEA97, 0x4CF9, {0xBE, 0xC2, 0xBF, 0x78, 0xA7, 0x4F, 0xD1, 0x05}};
inline constexpr GUID NV_ENC_PRESET_LOW_LATENCY_HP_GUID = {
    0x67082A44, 0x4BAD, 0x48FA, {0x98, 0xEA, 0x93, 0x05, 0x6D, 0x15, 0x0A, 0x58}};
inline constexpr GUID NV_ENC_PRESET_LOSSLESS_DEFAULT_GUID = {
    0xD5BFB716, 0xC604, 0x44E7, {0x9B, 0xB8, 0xDE, 0xA5, 0x51, 0x0F, 0xC3, 0xAC}};
inline constexpr GUID NV_ENC_PRESET_LOSSLESS_HP_GUID = {
    0x149998E7, 0x2364, 0x411D, {0x82, 0xEF, 0x17, 0x98, 0x88, 0x09, 0x34, 0x09}};
// The presets of API 12.0, P1 (fastest) to P7 (best quality); drivers from 590 on offer only these.
inline constexpr GUID NV_ENC_PRESET_P1_GUID = {
    0xFC0A8D3E, 0x45F8, 0x4CF8, {0x80, 0xC7, 0x29, 0x88, 0x71, 0x59, 0x0E, 0xBF}};
inline constexpr GUID NV_ENC_PRESET_P2_GUID = {
    0xF581CFB8, 0x88D6, 0x4381, {0x93, 0xF0, 0xDF, 0x13, 0xF9, 0xC2, 0x7D, 0xAB}};
inline constexpr GUID NV_ENC_PRESET_P3_GUID = {
    0x36850110, 0x3A07, 0x441F, {0x94, 0xD5, 0x36, 0x70, 0x63, 0x1F, 0x91, 0xF6}};
inline constexpr GUID NV_ENC_PRESET_P4_GUID = {
    0x90A7B826, 0xDF06, 0x4862, {0xB9, 0xD2, 0xCD, 0x6D, 0x73, 0xA0, 0x86, 0x81}};
inline constexpr GUID NV_ENC_PRESET_P5_GUID = {
    0x21C6E6B4, 0x297A, 0x4CBA, {0x99, 0x8F, 0xB6, 0xCB, 0xDE, 0x72, 0xAD, 0xE3}};
inline constexpr GUID NV_ENC_PRESET_P6_GUID = {
    0x8E75C279, 0x6299, 0x4AB6, {0x83, 0x02, 0x0B, 0x21, 0x5A, 0x33, 0x5C, 0xF5}};
inline constexpr GUID NV_ENC_PRESET_P7_GUID = {
    0x84848C12, 0x6F71, 0x4C13, {0x93, 0x1B, 0x53, 0xE2, 0x83, 0xF5, 0x79, 0x74}};
// The "streaming" preset, which the preset tables know by its text; the name is ours.
inline constexpr GUID NVENC_PRESET_STREAMING_GUID = {
    0x7ADD423D, 0xD035, 0x4F6F, {0xAE, 0xA5, 0x50, 0x88, 0x56, 0x58, 0x64, 0x3C}};

// ---------------------------------------------------------------------------------------------------------
// Enumerations (all 32-bit).

enum NVENCSTATUS {
    NV_ENC_SUCCESS = 0,
    NV_ENC_ERR_NO_ENCODE_DEVICE = 1,
    NV_ENC_ERR_UNSUPPORTED_DEVICE = 2,
    NV_ENC_ERR_INVALID_ENCODERDEVICE = 3,
    NV_ENC_ERR_INVALID_DEVICE = 4,
    NV_ENC_ERR_DEVICE_NOT_EXIST = 5,
    NV_ENC_ERR_INVALID_PTR = 6,
    NV_ENC_ERR_INVALID_EVENT = 7,
    NV_ENC_ERR_INVALID_PARAM = 8,
    NV_ENC_ERR_INVALID_CALL = 9,
    NV_ENC_ERR_OUT_OF_MEMORY = 10,
    NV_ENC_ERR_ENCODER_NOT_INITIALIZED = 11,
    NV_ENC_ERR_UNSUPPORTED_PARAM = 12,
    NV_ENC_ERR_LOCK_BUSY = 13,
    NV_ENC_ERR_NOT_ENOUGH_BUFFER = 14,
    NV_ENC_ERR_INVALID_VERSION = 15,
    NV_ENC_ERR_MAP_FAILED = 16,
    NV_ENC_ERR_NEED_MORE_INPUT = 17,
    NV_ENC_ERR_ENCODER_BUSY = 18,
    NV_ENC_ERR_EVENT_NOT_REGISTERD = 19,  // sic: the driver's spelling
    NV_ENC_ERR_GENERIC = 20,
    NV_ENC_ERR_INCOMPATIBLE_CLIENT_KEY = 21,
    NV_ENC_ERR_UNIMPLEMENTED = 22,
    NV_ENC_ERR_RESOURCE_REGISTER_FAILED = 23,
    NV_ENC_ERR_RESOURCE_NOT_REGISTERED = 24,
    NV_ENC_ERR_RESOURCE_NOT_MAPPED = 25,
};

// Capabilities queried with nvEncGetEncodeCaps. 32 and those from 35 on are API 12.0's, where the count
// of exposed capabilities becomes 51.
enum NV_ENC_CAPS {
    NV_ENC_CAPS_NUM_MAX_BFRAMES = 0,
    NV_ENC_CAPS_SUPPORTED_RATECONTROL_MODES = 1,
    NV_ENC_CAPS_SUPPORT_FIELD_ENCODING = 2,
    NV_ENC_CAPS_SUPPORT_MONOCHROME = 3,
    NV_ENC_CAPS_SUPPORT_FMO = 4,
    NV_ENC_CAPS_SUPPORT_QPELMV = 5,
    NV_ENC_CAPS_SUPPORT_BDIRECT_MODE = 6,
    NV_ENC_CAPS_SUPPORT_CABAC = 7,
    NV_ENC_CAPS_SUPPORT_ADAPTIVE_TRANSFORM = 8,
    NV_ENC_CAPS_SUPPORT_STEREO_MVC = 9,  // listed by API 4.0 clients only
    NV_ENC_CAPS_NUM_MAX_TEMPORAL_LAYERS = 10,
    NV_ENC_CAPS_SUPPORT_HIERARCHICAL_PFRAMES = 11,
    NV_ENC_CAPS_SUPPORT_HIERARCHICAL_BFRAMES = 12,
    NV_ENC_CAPS_LEVEL_MAX = 13,
    NV_ENC_CAPS_LEVEL_MIN = 14,
    NV_ENC_CAPS_SEPARATE_COLOUR_PLANE = 15,
    NV_ENC_CAPS_WIDTH_MAX = 16,
    NV_ENC_CAPS_HEIGHT_MAX = 17,
    NV_ENC_CAPS_SUPPORT_TEMPORAL_SVC = 18,
    NV_ENC_CAPS_SUPPORT_DYN_RES_CHANGE = 19,
    NV_ENC_CAPS_SUPPORT_DYN_BITRATE_CHANGE = 20,
    NV_ENC_CAPS_SUPPORT_DYN_FORCE_CONSTQP = 21,
    NV_ENC_CAPS_SUPPORT_DYN_RCMODE_CHANGE = 22,
    NV_ENC_CAPS_SUPPORT_SUBFRAME_READBACK = 23,
    NV_ENC_CAPS_SUPPORT_CONSTRAINED_ENCODING = 24,
    NV_ENC_CAPS_SUPPORT_INTRA_REFRESH = 25,
    NV_ENC_CAPS_SUPPORT_CUSTOM_VBV_BUF_SIZE = 26,
    NV_ENC_CAPS_SUPPORT_DYNAMIC_SLICE_MODE = 27,
    NV_ENC_CAPS_SUPPORT_REF_PIC_INVALIDATION = 28,
    NV_ENC_CAPS_PREPROC_SUPPORT = 29,
    NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT = 30,
    NV_ENC_CAPS_MB_NUM_MAX = 31,
    NV_ENC_CAPS_MB_PER_SEC_MAX = 32,
    NV_ENC_CAPS_SUPPORT_YUV444_ENCODE = 33,
    NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE = 34,
    NV_ENC_CAPS_SUPPORT_SAO = 35,
    NV_ENC_CAPS_SUPPORT_MEONLY_MODE = 36,
    NV_ENC_CAPS_SUPPORT_LOOKAHEAD = 37,
    NV_ENC_CAPS_SUPPORT_TEMPORAL_AQ = 38,
    NV_ENC_CAPS_SUPPORT_10BIT_ENCODE = 39,
    NV_ENC_CAPS_NUM_MAX_LTR_FRAMES = 40,
    NV_ENC_CAPS_SUPPORT_WEIGHTED_PREDICTION = 41,
    NV_ENC_CAPS_DYNAMIC_QUERY_ENCODER_CAPACITY = 42,
    NV_ENC_CAPS_SUPPORT_BFRAME_REF_MODE = 43,
    NV_ENC_CAPS_SUPPORT_EMPHASIS_LEVEL_MAP = 44,
    NV_ENC_CAPS_WIDTH_MIN = 45,
    NV_ENC_CAPS_HEIGHT_MIN = 46,
    NV_ENC_CAPS_SUPPORT_MULTIPLE_REF_FRAMES = 47,
    NV_ENC_CAPS_SUPPORT_ALPHA_LAYER_ENCODING = 48,
    NV_ENC_CAPS_NUM_ENCODER_ENGINES = 49,
    NV_ENC_CAPS_SINGLE_SLICE_INTRA_REFRESH = 50,
    NV_ENC_CAPS_EXPOSED_COUNT = TEVU_NVENC_API_VERSION >= 0xC0 ? 51 : 35,
};

// Input buffer formats; the values combine as bit masks (layout in the low nibble of each group).
enum NV_ENC_BUFFER_FORMAT {
    NV_ENC_BUFFER_FORMAT_UNDEFINED = 0x0,
    NV_ENC_BUFFER_FORMAT_NV12_PL = 0x1,
    NV_ENC_BUFFER_FORMAT_NV12_TILED16x16 = 0x2,
    NV_ENC_BUFFER_FORMAT_NV12_TILED64x16 = 0x3,
    NV_ENC_BUFFER_FORMAT_YV12_PL = 0x10,
    NV_ENC_BUFFER_FORMAT_YV12_TILED16x16 = 0x20,
    NV_ENC_BUFFER_FORMAT_YV12_TILED64x16 = 0x30,
    NV_ENC_BUFFER_FORMAT_IYUV_PL = 0x100,
    NV_ENC_BUFFER_FORMAT_IYUV_TILED16x16 = 0x200,
    NV_ENC_BUFFER_FORMAT_IYUV_TILED64x16 = 0x300,
    NV_ENC_BUFFER_FORMAT_YUV444_PL = 0x1000,
    NV_ENC_BUFFER_FORMAT_YUV444_TILED16x16 = 0x2000,
    NV_ENC_BUFFER_FORMAT_YUV444_TILED64x16 = 0x3000,
    // API 12.0's names and formats; the tiled ones are gone there.
    NV_ENC_BUFFER_FORMAT_NV12 = 0x1,
    NV_ENC_BUFFER_FORMAT_YV12 = 0x10,
    NV_ENC_BUFFER_FORMAT_IYUV = 0x100,
    NV_ENC_BUFFER_FORMAT_YUV444 = 0x1000,
    NV_ENC_BUFFER_FORMAT_YUV420_10BIT = 0x10000,
    NV_ENC_BUFFER_FORMAT_YUV444_10BIT = 0x100000,
    NV_ENC_BUFFER_FORMAT_ARGB = 0x1000000,
    NV_ENC_BUFFER_FORMAT_ARGB10 = 0x2000000,
    NV_ENC_BUFFER_FORMAT_AYUV = 0x4000000,
    NV_ENC_BUFFER_FORMAT_ABGR = 0x10000000,
    NV_ENC_BUFFER_FORMAT_ABGR10 = 0x20000000,
    NV_ENC_BUFFER_FORMAT_U8 = 0x40000000,
};

enum NV_ENC_PIC_TYPE {
    NV_ENC_PIC_TYPE_P = 0,
    NV_ENC_PIC_TYPE_B = 1,
    NV_ENC_PIC_TYPE_I = 2,
    NV_ENC_PIC_TYPE_IDR = 3,
    NV_ENC_PIC_TYPE_BI = 4,
    NV_ENC_PIC_TYPE_SKIPPED = 5,
    NV_ENC_PIC_TYPE_INTRA_REFRESH = 6,
    NV_ENC_PIC_TYPE_UNKNOWN = 0xFF,
};

enum NV_ENC_PIC_STRUCT {
    NV_ENC_PIC_STRUCT_FRAME = 1,
    NV_ENC_PIC_STRUCT_FIELD_TOP_BOTTOM = 2,
    NV_ENC_PIC_STRUCT_FIELD_BOTTOM_TOP = 3,
};

// Flags of NV_ENC_PIC_PARAMS::encodePicFlags.
enum NV_ENC_PIC_FLAGS {
    NV_ENC_PIC_FLAG_FORCEINTRA = 0x1,
    NV_ENC_PIC_FLAG_FORCEIDR = 0x2,
    NV_ENC_PIC_FLAG_OUTPUT_SPSPPS = 0x4,
    NV_ENC_PIC_FLAG_EOS = 0x8,
};

enum NV_ENC_PARAMS_RC_MODE {
    NV_ENC_PARAMS_RC_CONSTQP = 0x0,
    NV_ENC_PARAMS_RC_VBR = 0x1,
    NV_ENC_PARAMS_RC_CBR = 0x2,
    NV_ENC_PARAMS_RC_VBR_MINQP = 0x4,
    NV_ENC_PARAMS_RC_2_PASS_QUALITY = 0x8,
    NV_ENC_PARAMS_RC_2_PASS_FRAMESIZE_CAP = 0x10,
    // API 12.0's names of the modes that drivers from 590 on no longer offer.
    NV_ENC_PARAMS_RC_CBR_LOWDELAY_HQ = 0x8,
    NV_ENC_PARAMS_RC_CBR_HQ = 0x10,
    NV_ENC_PARAMS_RC_VBR_HQ = 0x20,
};

// API 12.0: the tuning a P1-P7 preset is used with (UNDEFINED is refused).
enum NV_ENC_TUNING_INFO {
    NV_ENC_TUNING_INFO_UNDEFINED = 0,
    NV_ENC_TUNING_INFO_HIGH_QUALITY = 1,
    NV_ENC_TUNING_INFO_LOW_LATENCY = 2,
    NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY = 3,
    NV_ENC_TUNING_INFO_LOSSLESS = 4,
};

// API 12.0: NV_ENC_RC_PARAMS::multiPass.
enum NV_ENC_MULTI_PASS {
    NV_ENC_MULTI_PASS_DISABLED = 0,
    NV_ENC_TWO_PASS_QUARTER_RESOLUTION = 1,
    NV_ENC_TWO_PASS_FULL_RESOLUTION = 2,
};

// API 12.0: NV_ENC_REGISTER_RESOURCE::bufferUsage.
enum NV_ENC_BUFFER_USAGE {
    NV_ENC_INPUT_IMAGE = 0,
};

enum NV_ENC_PARAMS_FRAME_FIELD_MODE {
    NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME = 1,
    NV_ENC_PARAMS_FRAME_FIELD_MODE_FIELD = 2,
    NV_ENC_PARAMS_FRAME_FIELD_MODE_MBAFF = 3,
};

enum NV_ENC_MV_PRECISION {
    NV_ENC_MV_PRECISION_FULL_PEL = 1,
    NV_ENC_MV_PRECISION_HALF_PEL = 2,
    NV_ENC_MV_PRECISION_QUARTER_PEL = 3,
};

enum NV_ENC_DEVICE_TYPE {
    NV_ENC_DEVICE_TYPE_DIRECTX = 0,
    NV_ENC_DEVICE_TYPE_CUDA = 1,
};

enum NV_ENC_INPUT_RESOURCE_TYPE {
    NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX = 0,
    NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR = 1,
    NV_ENC_INPUT_RESOURCE_TYPE_CUDAARRAY = 2,
};

enum NV_ENC_MEMORY_HEAP {
    NV_ENC_MEMORY_HEAP_AUTOSELECT = 0,
    NV_ENC_MEMORY_HEAP_VID = 1,
    NV_ENC_MEMORY_HEAP_SYSMEM_CACHED = 2,
    NV_ENC_MEMORY_HEAP_SYSMEM_UNCACHED = 3,
};

enum NV_ENC_H264_ADAPTIVE_TRANSFORM_MODE {
    NV_ENC_H264_ADAPTIVE_TRANSFORM_AUTOSELECT = 0,
    NV_ENC_H264_ADAPTIVE_TRANSFORM_DISABLE = 1,
    NV_ENC_H264_ADAPTIVE_TRANSFORM_ENABLE = 2,
};

enum NV_ENC_H264_FMO_MODE {
    NV_ENC_H264_FMO_AUTOSELECT = 0,
    NV_ENC_H264_FMO_ENABLE = 1,
    NV_ENC_H264_FMO_DISABLE = 2,
};

enum NV_ENC_H264_BDIRECT_MODE {
    NV_ENC_H264_BDIRECT_MODE_AUTOSELECT = 0,
    NV_ENC_H264_BDIRECT_MODE_DISABLE = 1,
    NV_ENC_H264_BDIRECT_MODE_TEMPORAL = 2,
    NV_ENC_H264_BDIRECT_MODE_SPATIAL = 3,
};

enum NV_ENC_H264_ENTROPY_CODING_MODE {
    NV_ENC_H264_ENTROPY_CODING_MODE_AUTOSELECT = 0,
    NV_ENC_H264_ENTROPY_CODING_MODE_CABAC = 1,
    NV_ENC_H264_ENTROPY_CODING_MODE_CAVLC = 2,
};

enum NV_ENC_STEREO_PACKING_MODE {
    NV_ENC_STEREO_PACKING_MODE_NONE = 0,
    NV_ENC_STEREO_PACKING_MODE_CHECKERBOARD = 1,
    NV_ENC_STEREO_PACKING_MODE_COLINTERLEAVE = 2,
    NV_ENC_STEREO_PACKING_MODE_ROWINTERLEAVE = 3,
    NV_ENC_STEREO_PACKING_MODE_SIDEBYSIDE = 4,
    NV_ENC_STEREO_PACKING_MODE_TOPBOTTOM = 5,
    NV_ENC_STEREO_PACKING_MODE_FRAMESEQ = 6,
};

enum NV_ENC_HEVC_CUSIZE {
    NV_ENC_HEVC_CUSIZE_AUTOSELECT = 0,
    NV_ENC_HEVC_CUSIZE_8x8 = 1,
    NV_ENC_HEVC_CUSIZE_16x16 = 2,
    NV_ENC_HEVC_CUSIZE_32x32 = 3,
    NV_ENC_HEVC_CUSIZE_64x64 = 4,
};

enum NV_ENC_AV1_PART_SIZE {  // API 12.0
    NV_ENC_AV1_PART_SIZE_AUTOSELECT = 0,
    NV_ENC_AV1_PART_SIZE_4x4 = 1,
    NV_ENC_AV1_PART_SIZE_8x8 = 2,
    NV_ENC_AV1_PART_SIZE_16x16 = 3,
    NV_ENC_AV1_PART_SIZE_32x32 = 4,
    NV_ENC_AV1_PART_SIZE_64x64 = 5,
};

// H.264 levels for NV_ENC_CONFIG_H264::level (level_idc; 9 stands for level 1b).
enum NV_ENC_LEVEL {
    NV_ENC_LEVEL_AUTOSELECT = 0,
    NV_ENC_LEVEL_H264_1 = 10,
    NV_ENC_LEVEL_H264_1b = 9,
    NV_ENC_LEVEL_H264_11 = 11,
    NV_ENC_LEVEL_H264_12 = 12,
    NV_ENC_LEVEL_H264_13 = 13,
    NV_ENC_LEVEL_H264_2 = 20,
    NV_ENC_LEVEL_H264_21 = 21,
    NV_ENC_LEVEL_H264_22 = 22,
    NV_ENC_LEVEL_H264_3 = 30,
    NV_ENC_LEVEL_H264_31 = 31,
    NV_ENC_LEVEL_H264_32 = 32,
    NV_ENC_LEVEL_H264_4 = 40,
    NV_ENC_LEVEL_H264_41 = 41,
    NV_ENC_LEVEL_H264_42 = 42,
    NV_ENC_LEVEL_H264_5 = 50,
    NV_ENC_LEVEL_H264_51 = 51,
};

// NV_ENC_CONFIG::gopLength for a group of pictures that never ends.
inline constexpr uint32_t NVENC_INFINITE_GOPLENGTH = 0xFFFFFFFF;

// Values of the plain integer members that the modules set (names of ours).
inline constexpr uint32_t NVENC_CHROMA_FORMAT_IDC_420 = 1;  // chromaFormatIDC: 4:2:0
inline constexpr uint32_t NVENC_CHROMA_FORMAT_IDC_444 = 3;  // chromaFormatIDC: 4:4:4
inline constexpr uint32_t NVENC_SLICE_MODE_MB_COUNT = 0;    // sliceModeData: macroblocks per slice
inline constexpr uint32_t NVENC_SLICE_MODE_BYTES = 1;       // sliceModeData: bytes per slice
inline constexpr uint32_t NVENC_SLICE_MODE_MB_ROWS = 2;     // sliceModeData: macroblock rows per slice
inline constexpr uint32_t NVENC_SLICE_MODE_COUNT = 3;       // sliceModeData: slices per picture
inline constexpr uint32_t NVENC_H264_MAX_QP = 51;           // largest H.264 quantiser

static_assert(sizeof(NVENCSTATUS) == 4 && sizeof(NV_ENC_CAPS) == 4 && sizeof(NV_ENC_BUFFER_FORMAT) == 4 &&
                  sizeof(NV_ENC_PIC_TYPE) == 4 && sizeof(NV_ENC_PARAMS_RC_MODE) == 4,
              "NVENC enumerations are 32-bit");
static_assert(sizeof(NV_ENC_TUNING_INFO) == 4 && sizeof(NV_ENC_MULTI_PASS) == 4 && sizeof(NV_ENC_BUFFER_USAGE) == 4,
              "NVENC enumerations are 32-bit");

// ---------------------------------------------------------------------------------------------------------
// Handles and opaque records.

typedef void* NV_ENC_INPUT_PTR;
typedef void* NV_ENC_OUTPUT_PTR;
typedef void* NV_ENC_REGISTERED_PTR;

// Only ever passed by pointer, through members or entry points the modules do not use.
struct NV_ENC_SEI_PAYLOAD;
struct NVENC_EXTERNAL_ME_HINT;
struct NV_ENC_CREATE_INPUT_BUFFER;
struct NV_ENC_LOCK_INPUT_BUFFER;
struct NV_ENC_STAT;
struct NV_ENC_SEQUENCE_PARAM_PAYLOAD;
struct NV_ENC_EVENT_PARAMS;

// ---------------------------------------------------------------------------------------------------------
// Structures.

struct NV_ENC_CAPS_PARAM {
    uint32_t version;
    NV_ENC_CAPS capsToQuery;
    uint32_t reserved[62];
};

struct NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS {
    uint32_t version;
    NV_ENC_DEVICE_TYPE deviceType;
    void* device;
    void* reserved;
    uint32_t apiVersion;
    uint32_t reserved1[253];
    void* reserved2[64];
};
typedef NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS NV_ENC_OPEN_ENCODE_SESSIONEX_PARAMS;

struct NV_ENC_QP {
    uint32_t qpInterP;
    uint32_t qpInterB;
    uint32_t qpIntra;
};

struct NV_ENC_RC_PARAMS {
    uint32_t version;
    NV_ENC_PARAMS_RC_MODE rateControlMode;
    NV_ENC_QP constQP;
    uint32_t averageBitRate;
    uint32_t maxBitRate;
    uint32_t vbvBufferSize;
    uint32_t vbvInitialDelay;
    uint32_t enableMinQP : 1;
    uint32_t enableMaxQP : 1;
    uint32_t enableInitialRCQP : 1;
    uint32_t enableAQ : 1;
    uint32_t enableExtQPDeltaMap : 1;
    uint32_t enableLookahead : 1;
    uint32_t disableIadapt : 1;
    uint32_t disableBadapt : 1;
    uint32_t enableTemporalAQ : 1;
    uint32_t zeroReorderDelay : 1;
    uint32_t enableNonRefP : 1;
    uint32_t strictGOPTarget : 1;
    uint32_t aqStrength : 4;
    uint32_t reservedBitFields : 16;
    NV_ENC_QP minQP;
    NV_ENC_QP maxQP;
    NV_ENC_QP initialRCQP;
    uint32_t temporallayerIdxMask;
    uint8_t temporalLayerQP[8];
    uint16_t targetQuality;  // API 12.0: targetQuality and targetQualityLSB, a byte each
    uint16_t lookaheadDepth;
    // API 12.0 (reserved before)
    uint8_t lowDelayKeyFrameScale;
    int8_t yDcQPIndexOffset;
    int8_t uDcQPIndexOffset;
    int8_t vDcQPIndexOffset;
    uint32_t qpMapMode;
    NV_ENC_MULTI_PASS multiPass;
    uint32_t alphaLayerBitrateRatio;
    int8_t cbQPIndexOffset;
    int8_t crQPIndexOffset;
    uint16_t reserved2;
    uint32_t reserved[4];
};

struct NV_ENC_CONFIG_H264_VUI_PARAMETERS {
    uint32_t overscanInfoPresentFlag;
    uint32_t overscanInfo;
    uint32_t videoSignalTypePresentFlag;
    uint32_t videoFormat;
    uint32_t videoFullRangeFlag;
    uint32_t colourDescriptionPresentFlag;
    uint32_t colourPrimaries;
    uint32_t transferCharacteristics;
    uint32_t colourMatrix;
    uint32_t chromaSampleLocationFlag;
    uint32_t chromaSampleLocationTop;
    uint32_t chromaSampleLocationBot;
    uint32_t bitstreamRestrictionFlag;
    uint32_t reserved[15];
};

struct NV_ENC_CONFIG_H264 {
    uint32_t enableTemporalSVC : 1;
    uint32_t enableStereoMVC : 1;
    uint32_t hierarchicalPFrames : 1;
    uint32_t hierarchicalBFrames : 1;
    uint32_t outputBufferingPeriodSEI : 1;
    uint32_t outputPictureTimingSEI : 1;
    uint32_t outputAUD : 1;
    uint32_t disableSPSPPS : 1;
    uint32_t outputFramePackingSEI : 1;
    uint32_t outputRecoveryPointSEI : 1;
    uint32_t enableIntraRefresh : 1;
    uint32_t enableConstrainedEncoding : 1;
    uint32_t repeatSPSPPS : 1;
    uint32_t enableVFR : 1;
    uint32_t enableLTR : 1;
    uint32_t qpPrimeYZeroTransformBypassFlag : 1;
    uint32_t useConstrainedIntraPred : 1;
    uint32_t reservedBitFields : 15;
    uint32_t level;
    uint32_t idrPeriod;
    uint32_t separateColourPlaneFlag;
    uint32_t disableDeblockingFilterIDC;
    uint32_t numTemporalLayers;
    uint32_t spsId;
    uint32_t ppsId;
    NV_ENC_H264_ADAPTIVE_TRANSFORM_MODE adaptiveTransformMode;
    NV_ENC_H264_FMO_MODE fmoMode;
    NV_ENC_H264_BDIRECT_MODE bdirectMode;
    NV_ENC_H264_ENTROPY_CODING_MODE entropyCodingMode;
    NV_ENC_STEREO_PACKING_MODE stereoMode;
    uint32_t intraRefreshPeriod;
    uint32_t intraRefreshCnt;
    uint32_t maxNumRefFrames;
    uint32_t sliceMode;
    uint32_t sliceModeData;
    NV_ENC_CONFIG_H264_VUI_PARAMETERS h264VUIParameters;
    uint32_t ltrNumFrames;
    uint32_t ltrTrustMode;
    uint32_t chromaFormatIDC;
    uint32_t maxTemporalLayers;
    uint32_t reserved1[270];
    void* reserved2[64];
};

struct NV_ENC_CONFIG_HEVC {
    uint32_t level;
    uint32_t tier;
    NV_ENC_HEVC_CUSIZE minCUSize;
    NV_ENC_HEVC_CUSIZE maxCUSize;
    uint32_t useConstrainedIntraPred : 1;
    uint32_t disableDeblockAcrossSliceBoundary : 1;
    uint32_t outputBufferingPeriodSEI : 1;
    uint32_t outputPictureTimingSEI : 1;
    uint32_t outputAUD : 1;
    uint32_t enableLTR : 1;
    uint32_t disableSPSPPS : 1;
    uint32_t repeatSPSPPS : 1;
    uint32_t enableIntraRefresh : 1;
    uint32_t chromaFormatIDC : 2;
    uint32_t pixelBitDepthMinus8 : 3;
    uint32_t reserved : 18;
    uint32_t idrPeriod;
    uint32_t intraRefreshPeriod;
    uint32_t intraRefreshCnt;
    uint32_t maxNumRefFramesInDPB;
    uint32_t ltrNumFrames;
    uint32_t vpsId;
    uint32_t spsId;
    uint32_t ppsId;
    uint32_t sliceMode;
    uint32_t sliceModeData;
    uint32_t maxTemporalLayersMinus1;
    NV_ENC_CONFIG_H264_VUI_PARAMETERS hevcVUIParameters;
    uint32_t ltrTrustMode;
    uint32_t reserved1[217];
    void* reserved2[64];
};

struct NV_ENC_FILM_GRAIN_PARAMS_AV1;  // never filled here

// API 12.0 only.
struct NV_ENC_CONFIG_AV1 {
    uint32_t level;
    uint32_t tier;
    NV_ENC_AV1_PART_SIZE minPartSize;
    NV_ENC_AV1_PART_SIZE maxPartSize;
    uint32_t outputAnnexBFormat : 1;
    uint32_t enableTimingInfo : 1;
    uint32_t enableDecoderModelInfo : 1;
    uint32_t enableFrameIdNumbers : 1;
    uint32_t disableSeqHdr : 1;
    uint32_t repeatSeqHdr : 1;
    uint32_t enableIntraRefresh : 1;
    uint32_t chromaFormatIDC : 2;
    uint32_t enableBitstreamPadding : 1;
    uint32_t enableCustomTileConfig : 1;
    uint32_t enableFilmGrainParams : 1;
    uint32_t inputPixelBitDepthMinus8 : 3;
    uint32_t pixelBitDepthMinus8 : 3;
    uint32_t reserved : 14;
    uint32_t idrPeriod;
    uint32_t intraRefreshPeriod;
    uint32_t intraRefreshCnt;
    uint32_t maxNumRefFramesInDPB;
    uint32_t numTileColumns;
    uint32_t numTileRows;
    uint32_t* tileWidths;
    uint32_t* tileHeights;
    uint32_t maxTemporalLayersMinus1;
    uint32_t colorPrimaries;
    uint32_t transferCharacteristics;
    uint32_t matrixCoefficients;
    uint32_t colorRange;
    uint32_t chromaSamplePosition;
    uint32_t useBFramesAsRef;
    NV_ENC_FILM_GRAIN_PARAMS_AV1* filmGrainParams;
    uint32_t numFwdRefs;
    uint32_t numBwdRefs;
    uint32_t reserved1[235];
    void* reserved2[62];
};

union NV_ENC_CODEC_CONFIG {
    NV_ENC_CONFIG_H264 h264Config;
    NV_ENC_CONFIG_HEVC hevcConfig;
    NV_ENC_CONFIG_AV1 av1Config;
    uint32_t reserved[256];
};

struct NV_ENC_CONFIG {
    uint32_t version;
    GUID profileGUID;
    uint32_t gopLength;
    int32_t frameIntervalP;
    uint32_t monoChromeEncoding;
    NV_ENC_PARAMS_FRAME_FIELD_MODE frameFieldMode;
    NV_ENC_MV_PRECISION mvPrecision;
    NV_ENC_RC_PARAMS rcParams;
    NV_ENC_CODEC_CONFIG encodeCodecConfig;
    uint32_t reserved[278];
    void* reserved2[64];
};

struct NV_ENC_PRESET_CONFIG {
    uint32_t version;
    NV_ENC_CONFIG presetCfg;
    uint32_t reserved1[255];
    void* reserved2[64];
};

struct NVENC_EXTERNAL_ME_HINT_COUNTS_PER_BLOCKTYPE {
    uint32_t numCandsPerBlk16x16 : 4;
    uint32_t numCandsPerBlk16x8 : 4;
    uint32_t numCandsPerBlk8x16 : 4;
    uint32_t numCandsPerBlk8x8 : 4;
    uint32_t reserved : 16;
    uint32_t reserved1[3];
};

struct NV_ENC_INITIALIZE_PARAMS {
    uint32_t version;
    GUID encodeGUID;
    GUID presetGUID;
    uint32_t encodeWidth;
    uint32_t encodeHeight;
    uint32_t darWidth;
    uint32_t darHeight;
    uint32_t frameRateNum;
    uint32_t frameRateDen;
    uint32_t enableEncodeAsync;
    uint32_t enablePTD;
    uint32_t reportSliceOffsets : 1;
    uint32_t enableSubFrameWrite : 1;
    uint32_t enableExternalMEHints : 1;
    uint32_t enableMEOnlyMode : 1;
    uint32_t enableWeightedPrediction : 1;  // API 12.0
    uint32_t enableOutputInVidmem : 1;      // API 12.0
    uint32_t reservedBitFields : 26;
    uint32_t privDataSize;
    void* privData;
    NV_ENC_CONFIG* encodeConfig;
    uint32_t maxEncodeWidth;
    uint32_t maxEncodeHeight;
    NVENC_EXTERNAL_ME_HINT_COUNTS_PER_BLOCKTYPE maxMEHintCountsPerBlock[2];
    NV_ENC_TUNING_INFO tuningInfo;      // API 12.0
    NV_ENC_BUFFER_FORMAT bufferFormat;  // API 12.0: DirectX 12 only, left 0
    uint32_t reserved[287];
    void* reserved2[64];
};

struct NV_ENC_RECONFIGURE_PARAMS {
    uint32_t version;
    NV_ENC_INITIALIZE_PARAMS reInitEncodeParams;
    uint32_t resetEncoder : 1;
    uint32_t forceIDR : 1;
    uint32_t reserved : 30;
};

struct NV_ENC_REGISTER_RESOURCE {
    uint32_t version;
    NV_ENC_INPUT_RESOURCE_TYPE resourceType;
    uint32_t width;
    uint32_t height;
    uint32_t pitch;
    uint32_t subResourceIndex;
    void* resourceToRegister;
    NV_ENC_REGISTERED_PTR registeredResource;
    NV_ENC_BUFFER_FORMAT bufferFormat;
    NV_ENC_BUFFER_USAGE bufferUsage;  // API 12.0; its pInputFencePoint (DirectX 12) lies in reserved1, zero
    uint32_t reserved1[247];
    void* reserved2[62];
};

struct NV_ENC_CREATE_BITSTREAM_BUFFER {
    uint32_t version;
    uint32_t size;
    NV_ENC_MEMORY_HEAP memoryHeap;
    uint32_t reserved;
    NV_ENC_OUTPUT_PTR bitstreamBuffer;
    void* bitstreamBufferPtr;
    uint32_t reserved1[58];
    void* reserved2[64];
};

struct NV_ENC_MAP_INPUT_RESOURCE {
    uint32_t version;
    uint32_t subResourceIndex;
    void* inputResource;
    NV_ENC_REGISTERED_PTR registeredResource;
    NV_ENC_INPUT_PTR mappedResource;
    NV_ENC_BUFFER_FORMAT mappedBufferFmt;
    uint32_t reserved1[251];
    void* reserved2[63];
};

struct NV_ENC_PIC_PARAMS_H264 {
    uint32_t displayPOCSyntax;
    uint32_t reserved3;
    uint32_t refPicFlag;
    uint32_t colourPlaneId;
    uint32_t forceIntraRefreshWithFrameCnt;
    uint32_t constrainedFrame : 1;
    uint32_t sliceModeDataUpdate : 1;
    uint32_t ltrMarkFrame : 1;
    uint32_t ltrUseFrames : 1;
    uint32_t reservedBitFields : 28;
    uint8_t* sliceTypeData;
    uint32_t sliceTypeArrayCnt;
    uint32_t seiPayloadArrayCnt;
    NV_ENC_SEI_PAYLOAD* seiPayloadArray;
    uint32_t sliceMode;
    uint32_t sliceModeData;
    uint32_t ltrMarkFrameIdx;
    uint32_t ltrUseFrameBitmap;
    uint32_t ltrUsageMode;
    uint32_t reserved[243];
    void* reserved2[62];
};

struct NV_ENC_PIC_PARAMS_HEVC {
    uint32_t displayPOCSyntax;
    uint32_t refPicFlag;
    uint32_t temporalId;
    uint32_t forceIntraRefreshWithFrameCnt;
    uint32_t constrainedFrame : 1;
    uint32_t sliceModeDataUpdate : 1;
    uint32_t ltrMarkFrame : 1;
    uint32_t ltrUseFrames : 1;
    uint32_t reservedBitFields : 28;
    uint8_t* sliceTypeData;
    uint32_t sliceTypeArrayCnt;
    uint32_t sliceMode;
    uint32_t sliceModeData;
    uint32_t ltrMarkFrameIdx;
    uint32_t ltrUseFrameBitmap;
    uint32_t ltrUsageMode;
    uint32_t seiPayloadArrayCnt;
    uint32_t reserved;
    NV_ENC_SEI_PAYLOAD* seiPayloadArray;
    uint32_t reserved2[244];
    void* reserved3[61];
};

union NV_ENC_CODEC_PIC_PARAMS {
    NV_ENC_PIC_PARAMS_H264 h264PicParams;
    NV_ENC_PIC_PARAMS_HEVC hevcPicParams;
    uint32_t reserved[256];
};

// API 12.0 only.
struct NV_ENC_PIC_PARAMS_AV1 {
    uint32_t displayPOCSyntax;
    uint32_t refPicFlag;
    uint32_t temporalId;
    uint32_t forceIntraRefreshWithFrameCnt;
    uint32_t goldenFrameFlag : 1;
    uint32_t arfFrameFlag : 1;
    uint32_t arf2FrameFlag : 1;
    uint32_t bwdFrameFlag : 1;
    uint32_t overlayFrameFlag : 1;
    uint32_t showExistingFrameFlag : 1;
    uint32_t errorResilientModeFlag : 1;
    uint32_t tileConfigUpdate : 1;
    uint32_t enableCustomTileConfig : 1;
    uint32_t filmGrainParamsUpdate : 1;
    uint32_t reservedBitFields : 22;
    uint32_t numTileColumns;
    uint32_t numTileRows;
    uint32_t* tileWidths;
    uint32_t* tileHeights;
    uint32_t obuPayloadArrayCnt;
    uint32_t reserved;
    NV_ENC_SEI_PAYLOAD* obuPayloadArray;
    NV_ENC_FILM_GRAIN_PARAMS_AV1* filmGrainParams;
    uint32_t reserved2[247];
    void* reserved3[61];
};

// API 12.0's: 16 bytes more, for its AV1 member.
union NV_ENC_CODEC_PIC_PARAMS_V12 {
    NV_ENC_PIC_PARAMS_H264 h264PicParams;
    NV_ENC_PIC_PARAMS_HEVC hevcPicParams;
    NV_ENC_PIC_PARAMS_AV1 av1PicParams;
    uint32_t reserved[256];
};

// The members that every API's picture parameters share, up to and including codecPicParams.
#define NVENC_PIC_PARAMS_LEADING_MEMBERS(codec_pic_params) \
    uint32_t version;                    \
    uint32_t inputWidth;                 \
    uint32_t inputHeight;                \
    uint32_t inputPitch;                 \
    uint32_t encodePicFlags;             \
    uint32_t frameIdx;                   \
    uint64_t inputTimeStamp;             \
    uint64_t inputDuration;              \
    NV_ENC_INPUT_PTR inputBuffer;        \
    NV_ENC_OUTPUT_PTR outputBitstream;   \
    void* completionEvent;               \
    NV_ENC_BUFFER_FORMAT bufferFmt;      \
    NV_ENC_PIC_STRUCT pictureStruct;     \
    NV_ENC_PIC_TYPE pictureType;         \
    codec_pic_params codecPicParams

// API 5.0 picture parameters.
struct NV_ENC_PIC_PARAMS_V5 {
    NVENC_PIC_PARAMS_LEADING_MEMBERS(NV_ENC_CODEC_PIC_PARAMS);
    NVENC_EXTERNAL_ME_HINT_COUNTS_PER_BLOCKTYPE meHintCountsPerBlock[2];
    NVENC_EXTERNAL_ME_HINT* meExternalHints;
    uint32_t reserved1[6];
    void* reserved2[2];
    int8_t* qpDeltaMap;
    uint32_t qpDeltaMapSize;
    uint32_t reservedBitFields;
    uint16_t meHintRefPicDist[2];
    uint32_t reserved3[286];
    void* reserved4[60];
};

// API 4.0 picture parameters: a per-picture resolution and rate control after codecPicParams, the rest
// reserved up to the size of the API 5.0 structure.
struct NV_ENC_PIC_PARAMS_V4 {
    NVENC_PIC_PARAMS_LEADING_MEMBERS(NV_ENC_CODEC_PIC_PARAMS);
    uint32_t newEncodeWidth;
    uint32_t newEncodeHeight;
    NV_ENC_RC_PARAMS rcParams;
    uint32_t reserved3[268];
    void* reserved4[65];
};

// API 12.0 picture parameters: API 5.0's members, 16 bytes further from codecPicParams on.
struct NV_ENC_PIC_PARAMS_V12 {
    NVENC_PIC_PARAMS_LEADING_MEMBERS(NV_ENC_CODEC_PIC_PARAMS_V12);
    NVENC_EXTERNAL_ME_HINT_COUNTS_PER_BLOCKTYPE meHintCountsPerBlock[2];
    NVENC_EXTERNAL_ME_HINT* meExternalHints;
    uint32_t reserved1[6];
    void* reserved2[2];
    int8_t* qpDeltaMap;
    uint32_t qpDeltaMapSize;
    uint32_t reservedBitFields;
    uint16_t meHintRefPicDist[2];
    NV_ENC_INPUT_PTR alphaBuffer;
    void* meExternalSbHints;
    uint32_t meSbHintsCount;
    uint32_t reserved3[285];
    void* reserved4[58];
};

#undef NVENC_PIC_PARAMS_LEADING_MEMBERS

#if TEVU_NVENC_API_VERSION == 0x40
typedef NV_ENC_PIC_PARAMS_V4 NV_ENC_PIC_PARAMS;
#elif TEVU_NVENC_API_VERSION == 0xC0
typedef NV_ENC_PIC_PARAMS_V12 NV_ENC_PIC_PARAMS;
#else
typedef NV_ENC_PIC_PARAMS_V5 NV_ENC_PIC_PARAMS;
#endif

struct NV_ENC_LOCK_BITSTREAM {
    uint32_t version;
    uint32_t doNotWait : 1;
    uint32_t ltrFrame : 1;
    uint32_t getRCStats : 1;  // API 12.0
    uint32_t reservedBitFields : 29;
    void* outputBitstream;
    uint32_t* sliceOffsets;
    uint32_t frameIdx;
    uint32_t hwEncodeStatus;
    uint32_t numSlices;
    uint32_t bitstreamSizeInBytes;
    uint64_t outputTimeStamp;
    uint64_t outputDuration;
    void* bitstreamBufferPtr;
    NV_ENC_PIC_TYPE pictureType;
    NV_ENC_PIC_STRUCT pictureStruct;
    uint32_t frameAvgQP;
    uint32_t frameSatd;
    uint32_t ltrFrameIdx;
    uint32_t ltrFrameBitmap;
    // API 12.0 (reserved before)
    uint32_t temporalId;
    uint32_t reserved[12];
    uint32_t intraMBCount;
    uint32_t interMBCount;
    int32_t averageMVX;
    int32_t averageMVY;
    uint32_t alphaLayerSizeInBytes;
    uint32_t reserved1[218];
    void* reserved2[64];
};

// ---------------------------------------------------------------------------------------------------------
// Entry points. Every one but the two session openers takes the session handle first.

struct NV_ENCODE_API_FUNCTION_LIST;

typedef NVENCSTATUS(NVENCAPI* PNVENCODEAPICREATEINSTANCE)(NV_ENCODE_API_FUNCTION_LIST* functionList);
typedef NVENCSTATUS(NVENCAPI* PNVENCOPENENCODESESSION)(void* device, uint32_t deviceType, void** encoder);
typedef NVENCSTATUS(NVENCAPI* PNVENCGETENCODEGUIDCOUNT)(void* encoder, uint32_t* encodeGUIDCount);
typedef NVENCSTATUS(NVENCAPI* PNVENCGETENCODEGUIDS)(void* encoder, GUID* GUIDs, uint32_t guidArraySize,
                                                    uint32_t* GUIDCount);
typedef NVENCSTATUS(NVENCAPI* PNVENCGETENCODEPROFILEGUIDCOUNT)(void* encoder, GUID encodeGUID,
                                                               uint32_t* encodeProfileGUIDCount);
typedef NVENCSTATUS(NVENCAPI* PNVENCGETENCODEPROFILEGUIDS)(void* encoder, GUID encodeGUID, GUID* profileGUIDs,
                                                           uint32_t guidArraySize, uint32_t* GUIDCount);
typedef NVENCSTATUS(NVENCAPI* PNVENCGETINPUTFORMATCOUNT)(void* encoder, GUID encodeGUID,
                                                         uint32_t* inputFmtCount);
typedef NVENCSTATUS(NVENCAPI* PNVENCGETINPUTFORMATS)(void* encoder, GUID encodeGUID,
                                                     NV_ENC_BUFFER_FORMAT* inputFmts,
                                                     uint32_t inputFmtArraySize, uint32_t* inputFmtCount);
typedef NVENCSTATUS(NVENCAPI* PNVENCGETENCODECAPS)(void* encoder, GUID encodeGUID,
                                                   NV_ENC_CAPS_PARAM* capsParam, int* capsVal);
typedef NVENCSTATUS(NVENCAPI* PNVENCGETENCODEPRESETCOUNT)(void* encoder, GUID encodeGUID,
                                                          uint32_t* encodePresetGUIDCount);
typedef NVENCSTATUS(NVENCAPI* PNVENCGETENCODEPRESETGUIDS)(void* encoder, GUID encodeGUID, GUID* presetGUIDs,
                                                          uint32_t guidArraySize,
                                                          uint32_t* encodePresetGUIDCount);
typedef NVENCSTATUS(NVENCAPI* PNVENCGETENCODEPRESETCONFIG)(void* encoder, GUID encodeGUID, GUID presetGUID,
                                                           NV_ENC_PRESET_CONFIG* presetConfig);
typedef NVENCSTATUS(NVENCAPI* PNVENCINITIALIZEENCODER)(void* encoder,
                                                       NV_ENC_INITIALIZE_PARAMS* createEncodeParams);
typedef NVENCSTATUS(NVENCAPI* PNVENCCREATEINPUTBUFFER)(void* encoder,
                                                       NV_ENC_CREATE_INPUT_BUFFER* createInputBufferParams);
typedef NVENCSTATUS(NVENCAPI* PNVENCDESTROYINPUTBUFFER)(void* encoder, NV_ENC_INPUT_PTR inputBuffer);
typedef NVENCSTATUS(NVENCAPI* PNVENCCREATEBITSTREAMBUFFER)(
    void* encoder, NV_ENC_CREATE_BITSTREAM_BUFFER* createBitstreamBufferParams);
typedef NVENCSTATUS(NVENCAPI* PNVENCDESTROYBITSTREAMBUFFER)(void* encoder, NV_ENC_OUTPUT_PTR bitstreamBuffer);
typedef NVENCSTATUS(NVENCAPI* PNVENCENCODEPICTURE)(void* encoder, NV_ENC_PIC_PARAMS* encodePicParams);
typedef NVENCSTATUS(NVENCAPI* PNVENCLOCKBITSTREAM)(void* encoder,
                                                   NV_ENC_LOCK_BITSTREAM* lockBitstreamBufferParams);
typedef NVENCSTATUS(NVENCAPI* PNVENCUNLOCKBITSTREAM)(void* encoder, NV_ENC_OUTPUT_PTR bitstreamBuffer);
typedef NVENCSTATUS(NVENCAPI* PNVENCLOCKINPUTBUFFER)(void* encoder,
                                                     NV_ENC_LOCK_INPUT_BUFFER* lockInputBufferParams);
typedef NVENCSTATUS(NVENCAPI* PNVENCUNLOCKINPUTBUFFER)(void* encoder, NV_ENC_INPUT_PTR inputBuffer);
typedef NVENCSTATUS(NVENCAPI* PNVENCGETENCODESTATS)(void* encoder, NV_ENC_STAT* encodeStats);
typedef NVENCSTATUS(NVENCAPI* PNVENCGETSEQUENCEPARAMS)(void* encoder,
                                                       NV_ENC_SEQUENCE_PARAM_PAYLOAD* sequenceParamPayload);
typedef NVENCSTATUS(NVENCAPI* PNVENCREGISTERASYNCEVENT)(void* encoder, NV_ENC_EVENT_PARAMS* eventParams);
typedef NVENCSTATUS(NVENCAPI* PNVENCUNREGISTERASYNCEVENT)(void* encoder, NV_ENC_EVENT_PARAMS* eventParams);
typedef NVENCSTATUS(NVENCAPI* PNVENCMAPINPUTRESOURCE)(void* encoder,
                                                      NV_ENC_MAP_INPUT_RESOURCE* mapInputResParams);
typedef NVENCSTATUS(NVENCAPI* PNVENCUNMAPINPUTRESOURCE)(void* encoder, NV_ENC_INPUT_PTR mappedInputBuffer);
typedef NVENCSTATUS(NVENCAPI* PNVENCDESTROYENCODER)(void* encoder);
typedef NVENCSTATUS(NVENCAPI* PNVENCINVALIDATEREFFRAMES)(void* encoder, uint64_t invalidRefFrameTimeStamp);
typedef NVENCSTATUS(NVENCAPI* PNVENCOPENENCODESESSIONEX)(
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* openSessionExParams, void** encoder);
typedef NVENCSTATUS(NVENCAPI* PNVENCREGISTERRESOURCE)(void* encoder,
                                                      NV_ENC_REGISTER_RESOURCE* registerResParams);
typedef NVENCSTATUS(NVENCAPI* PNVENCUNREGISTERRESOURCE)(void* encoder,
                                                        NV_ENC_REGISTERED_PTR registeredResource);
typedef NVENCSTATUS(NVENCAPI* PNVENCRECONFIGUREENCODER)(void* encoder,
                                                        NV_ENC_RECONFIGURE_PARAMS* reInitEncodeParams);
// API 12.0.
typedef const char*(NVENCAPI* PNVENCGETLASTERROR)(void* encoder);
typedef NVENCSTATUS(NVENCAPI* PNVENCGETENCODEPRESETCONFIGEX)(void* encoder, GUID encodeGUID, GUID presetGUID,
                                                             NV_ENC_TUNING_INFO tuningInfo,
                                                             NV_ENC_PRESET_CONFIG* presetConfig);
typedef NVENCSTATUS(NVENCAPI* PNVENCODEAPIGETMAXSUPPORTEDVERSION)(uint32_t* version);

// The table that NvEncodeAPICreateInstance fills. The profile queries have the preset queries' types (the
// signatures are the same); the slots after nvEncReconfigureEncoder are reserved in API 4.0 and 5.0, and
// API 12.0 fills seven of them (the two the modules call have their types).
struct NV_ENCODE_API_FUNCTION_LIST {
    uint32_t version;
    uint32_t reserved;
    PNVENCOPENENCODESESSION nvEncOpenEncodeSession;
    PNVENCGETENCODEGUIDCOUNT nvEncGetEncodeGUIDCount;
    PNVENCGETENCODEPRESETCOUNT nvEncGetEncodeProfileGUIDCount;
    PNVENCGETENCODEPRESETGUIDS nvEncGetEncodeProfileGUIDs;
    PNVENCGETENCODEGUIDS nvEncGetEncodeGUIDs;
    PNVENCGETINPUTFORMATCOUNT nvEncGetInputFormatCount;
    PNVENCGETINPUTFORMATS nvEncGetInputFormats;
    PNVENCGETENCODECAPS nvEncGetEncodeCaps;
    PNVENCGETENCODEPRESETCOUNT nvEncGetEncodePresetCount;
    PNVENCGETENCODEPRESETGUIDS nvEncGetEncodePresetGUIDs;
    PNVENCGETENCODEPRESETCONFIG nvEncGetEncodePresetConfig;
    PNVENCINITIALIZEENCODER nvEncInitializeEncoder;
    PNVENCCREATEINPUTBUFFER nvEncCreateInputBuffer;
    PNVENCDESTROYINPUTBUFFER nvEncDestroyInputBuffer;
    PNVENCCREATEBITSTREAMBUFFER nvEncCreateBitstreamBuffer;
    PNVENCDESTROYBITSTREAMBUFFER nvEncDestroyBitstreamBuffer;
    PNVENCENCODEPICTURE nvEncEncodePicture;
    PNVENCLOCKBITSTREAM nvEncLockBitstream;
    PNVENCUNLOCKBITSTREAM nvEncUnlockBitstream;
    PNVENCLOCKINPUTBUFFER nvEncLockInputBuffer;
    PNVENCUNLOCKINPUTBUFFER nvEncUnlockInputBuffer;
    PNVENCGETENCODESTATS nvEncGetEncodeStats;
    PNVENCGETSEQUENCEPARAMS nvEncGetSequenceParams;
    PNVENCREGISTERASYNCEVENT nvEncRegisterAsyncEvent;
    PNVENCUNREGISTERASYNCEVENT nvEncUnregisterAsyncEvent;
    PNVENCMAPINPUTRESOURCE nvEncMapInputResource;
    PNVENCUNMAPINPUTRESOURCE nvEncUnmapInputResource;
    PNVENCDESTROYENCODER nvEncDestroyEncoder;
    PNVENCINVALIDATEREFFRAMES nvEncInvalidateRefFrames;
    PNVENCOPENENCODESESSIONEX nvEncOpenEncodeSessionEx;
    PNVENCREGISTERRESOURCE nvEncRegisterResource;
    PNVENCUNREGISTERRESOURCE nvEncUnregisterResource;
    PNVENCRECONFIGUREENCODER nvEncReconfigureEncoder;
    void* reserved1;
    void* nvEncCreateMVBuffer;                                    // API 12.0
    void* nvEncDestroyMVBuffer;                                   // API 12.0
    void* nvEncRunMotionEstimationOnly;                           // API 12.0
    PNVENCGETLASTERROR nvEncGetLastErrorString;                   // API 12.0
    void* nvEncSetIOCudaStreams;                                  // API 12.0
    PNVENCGETENCODEPRESETCONFIGEX nvEncGetEncodePresetConfigEx;  // API 12.0
    void* nvEncGetSequenceParamEx;                                // API 12.0
    void* reserved2[277];
};

// ---------------------------------------------------------------------------------------------------------
// API versions and structure version words.

inline constexpr uint32_t NVENC_API_V4 = 0x40;  // API 4.0
inline constexpr uint32_t NVENC_API_V5 = 0x50;   // API 5.0
inline constexpr uint32_t NVENC_API_V12 = 0xC0;  // API 12.0
// An API value (major << 4 | minor, as NvEncodeAPIGetMaxSupportedVersion answers) as the driver's API word
// (the session's apiVersion): the value itself up to API 5.0, major | minor << 24 from API 12.0 on.
constexpr uint32_t nvenc_api_word(uint32_t api) {
    return api < NVENC_API_V12 ? api : (api >> 4) | (api & 0xF) << 24;
}
inline constexpr uint32_t NVENCAPI_VERSION = nvenc_api_word(TEVU_NVENC_API_VERSION);
inline constexpr uint32_t NVENCAPI_MAJOR_VERSION = TEVU_NVENC_API_VERSION >> 4;
inline constexpr uint32_t NVENCAPI_MINOR_VERSION = TEVU_NVENC_API_VERSION & 0xF;

// A structure's revision and whether the driver marks its word with bit 31.
struct NvencRevision {
    uint32_t revision;
    bool high_bit;
};

// One overload per versioned structure; the pointer only selects the overload.
constexpr NvencRevision nvenc_revision(const NV_ENCODE_API_FUNCTION_LIST*, uint32_t) { return {2, false}; }
constexpr NvencRevision nvenc_revision(const NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS*, uint32_t) {
    return {1, false};
}
constexpr NvencRevision nvenc_revision(const NV_ENC_CAPS_PARAM*, uint32_t) { return {1, false}; }
constexpr NvencRevision nvenc_revision(const NV_ENC_PRESET_CONFIG*, uint32_t) { return {4, true}; }
constexpr NvencRevision nvenc_revision(const NV_ENC_CONFIG*, uint32_t api) {
    return {api >= NVENC_API_V12 ? 8u : 5u, true};
}
constexpr NvencRevision nvenc_revision(const NV_ENC_INITIALIZE_PARAMS*, uint32_t) { return {5, true}; }
constexpr NvencRevision nvenc_revision(const NV_ENC_REGISTER_RESOURCE*, uint32_t api) {
    return {api >= NVENC_API_V12 ? 4u : 3u, false};
}
constexpr NvencRevision nvenc_revision(const NV_ENC_CREATE_BITSTREAM_BUFFER*, uint32_t) { return {1, false}; }
constexpr NvencRevision nvenc_revision(const NV_ENC_RECONFIGURE_PARAMS*, uint32_t) { return {1, true}; }
constexpr NvencRevision nvenc_revision(const NV_ENC_MAP_INPUT_RESOURCE*, uint32_t) { return {4, false}; }
constexpr NvencRevision nvenc_revision(const NV_ENC_LOCK_BITSTREAM*, uint32_t api) {
    return {api >= NVENC_API_V12 ? 2u : 1u, false};
}
constexpr NvencRevision nvenc_revision(const NV_ENC_RC_PARAMS*, uint32_t) { return {1, false}; }
// The picture parameters' revision depends on the API, not on which of the two layouts carries it.
constexpr NvencRevision nvenc_pic_params_revision(uint32_t api) {
    return {api >= NVENC_API_V12 ? 6u : api >= NVENC_API_V5 ? 4u : 3u, true};
}
constexpr NvencRevision nvenc_revision(const NV_ENC_PIC_PARAMS_V5*, uint32_t api) {
    return nvenc_pic_params_revision(api);
}
constexpr NvencRevision nvenc_revision(const NV_ENC_PIC_PARAMS_V4*, uint32_t api) {
    return nvenc_pic_params_revision(api);
}
constexpr NvencRevision nvenc_revision(const NV_ENC_PIC_PARAMS_V12*, uint32_t api) {
    return nvenc_pic_params_revision(api);
}

// The rule: size | revision << 16 | api << 24 up to API 5.0, the API word | revision << 16 | 0x7 << 28
// from API 12.0; | bit 31 where marked.
constexpr uint32_t nvenc_version_word(std::size_t size, NvencRevision r, uint32_t api) {
    const uint32_t mark = r.high_bit ? 0x80000000u : 0u;
    if (api >= NVENC_API_V12) return nvenc_api_word(api) | (r.revision << 16) | 0x70000000u | mark;
    return static_cast<uint32_t>(size) | (r.revision << 16) | (api << 24) | mark;
}

// The version word of structure T for an API (0x40, 0x50 or 0xC0). `size` is sizeof(T) except where a caller
// reproduces another ABI's word (the 32-bit tests).
template <typename T>
constexpr uint32_t nvenc_struct_version(uint32_t api, std::size_t size = sizeof(T)) {
    static_assert(sizeof(T) <= 0xFFFF, "a structure size must fit the low 16 bits of its version word");
    return nvenc_version_word(size, nvenc_revision(static_cast<const T*>(nullptr), api), api);
}

// The parts of a version word, for code that checks the words it is handed. A word of API 12.0 or later
// (0x7 in bits 28 to 30) carries no size: nvenc_word_size answers 0 for it.
constexpr bool nvenc_word_is_v12(uint32_t word) { return (word >> 28 & 0x7u) == 0x7u; }
constexpr uint32_t nvenc_word_size(uint32_t word) { return nvenc_word_is_v12(word) ? 0u : word & 0xFFFFu; }
constexpr uint32_t nvenc_word_revision(uint32_t word) { return (word >> 16) & 0xFFu; }
constexpr uint32_t nvenc_word_api(uint32_t word) {
    return nvenc_word_is_v12(word) ? (word & 0xFFu) << 4 | (word >> 24 & 0xFu) : (word >> 24) & 0x7Fu;
}

// Zeroes a structure and stores its version word for the given API.
template <typename T>
void nvenc_reset(T& s, uint32_t api = TEVU_NVENC_API_VERSION) {
    s = T{};
    s.version = nvenc_struct_version<T>(api);
}

// The words of the API this translation unit is built for.
inline constexpr uint32_t NV_ENCODE_API_FUNCTION_LIST_VER =
    nvenc_struct_version<NV_ENCODE_API_FUNCTION_LIST>(TEVU_NVENC_API_VERSION);
inline constexpr uint32_t NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER =
    nvenc_struct_version<NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS>(TEVU_NVENC_API_VERSION);
inline constexpr uint32_t NV_ENC_CAPS_PARAM_VER = nvenc_struct_version<NV_ENC_CAPS_PARAM>(TEVU_NVENC_API_VERSION);
inline constexpr uint32_t NV_ENC_PRESET_CONFIG_VER =
    nvenc_struct_version<NV_ENC_PRESET_CONFIG>(TEVU_NVENC_API_VERSION);
inline constexpr uint32_t NV_ENC_CONFIG_VER = nvenc_struct_version<NV_ENC_CONFIG>(TEVU_NVENC_API_VERSION);
inline constexpr uint32_t NV_ENC_INITIALIZE_PARAMS_VER =
    nvenc_struct_version<NV_ENC_INITIALIZE_PARAMS>(TEVU_NVENC_API_VERSION);
inline constexpr uint32_t NV_ENC_REGISTER_RESOURCE_VER =
    nvenc_struct_version<NV_ENC_REGISTER_RESOURCE>(TEVU_NVENC_API_VERSION);
inline constexpr uint32_t NV_ENC_CREATE_BITSTREAM_BUFFER_VER =
    nvenc_struct_version<NV_ENC_CREATE_BITSTREAM_BUFFER>(TEVU_NVENC_API_VERSION);
inline constexpr uint32_t NV_ENC_RECONFIGURE_PARAMS_VER =
    nvenc_struct_version<NV_ENC_RECONFIGURE_PARAMS>(TEVU_NVENC_API_VERSION);
inline constexpr uint32_t NV_ENC_MAP_INPUT_RESOURCE_VER =
    nvenc_struct_version<NV_ENC_MAP_INPUT_RESOURCE>(TEVU_NVENC_API_VERSION);
inline constexpr uint32_t NV_ENC_PIC_PARAMS_VER = nvenc_struct_version<NV_ENC_PIC_PARAMS>(TEVU_NVENC_API_VERSION);
inline constexpr uint32_t NV_ENC_LOCK_BITSTREAM_VER =
    nvenc_struct_version<NV_ENC_LOCK_BITSTREAM>(TEVU_NVENC_API_VERSION);

// ---------------------------------------------------------------------------------------------------------
// Layout checks for x86-64 (Linux and Windows have the same layout there).
#if defined(__x86_64__) || defined(_M_X64)
#define NVENC_CHECK_SIZE(type, bytes) static_assert(sizeof(type) == (bytes), "size of " #type)
#define NVENC_CHECK_OFFSET(type, member, at) \
    static_assert(offsetof(type, member) == (at), "offset of " #type "::" #member)

NVENC_CHECK_SIZE(NV_ENCODE_API_FUNCTION_LIST, 2552);
NVENC_CHECK_OFFSET(NV_ENCODE_API_FUNCTION_LIST, nvEncOpenEncodeSession, 8);
NVENC_CHECK_OFFSET(NV_ENCODE_API_FUNCTION_LIST, nvEncGetEncodeGUIDs, 40);
NVENC_CHECK_OFFSET(NV_ENCODE_API_FUNCTION_LIST, nvEncGetEncodePresetConfig, 88);
NVENC_CHECK_OFFSET(NV_ENCODE_API_FUNCTION_LIST, nvEncEncodePicture, 136);
NVENC_CHECK_OFFSET(NV_ENCODE_API_FUNCTION_LIST, nvEncMapInputResource, 208);
NVENC_CHECK_OFFSET(NV_ENCODE_API_FUNCTION_LIST, nvEncDestroyEncoder, 224);
NVENC_CHECK_OFFSET(NV_ENCODE_API_FUNCTION_LIST, nvEncOpenEncodeSessionEx, 240);
NVENC_CHECK_OFFSET(NV_ENCODE_API_FUNCTION_LIST, nvEncReconfigureEncoder, 264);
NVENC_CHECK_OFFSET(NV_ENCODE_API_FUNCTION_LIST, nvEncCreateMVBuffer, 280);
NVENC_CHECK_OFFSET(NV_ENCODE_API_FUNCTION_LIST, nvEncGetLastErrorString, 304);
NVENC_CHECK_OFFSET(NV_ENCODE_API_FUNCTION_LIST, nvEncGetEncodePresetConfigEx, 320);
NVENC_CHECK_OFFSET(NV_ENCODE_API_FUNCTION_LIST, nvEncGetSequenceParamEx, 328);
NVENC_CHECK_OFFSET(NV_ENCODE_API_FUNCTION_LIST, reserved2, 336);

NVENC_CHECK_SIZE(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS, 1552);
NVENC_CHECK_OFFSET(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS, device, 8);
NVENC_CHECK_OFFSET(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS, apiVersion, 24);
NVENC_CHECK_OFFSET(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS, reserved2, 1040);

NVENC_CHECK_SIZE(NV_ENC_CAPS_PARAM, 256);
NVENC_CHECK_OFFSET(NV_ENC_CAPS_PARAM, capsToQuery, 4);

NVENC_CHECK_SIZE(NV_ENC_QP, 12);
NVENC_CHECK_SIZE(NV_ENC_RC_PARAMS, 128);
NVENC_CHECK_OFFSET(NV_ENC_RC_PARAMS, averageBitRate, 20);
NVENC_CHECK_OFFSET(NV_ENC_RC_PARAMS, minQP, 40);
NVENC_CHECK_OFFSET(NV_ENC_RC_PARAMS, maxQP, 52);
NVENC_CHECK_OFFSET(NV_ENC_RC_PARAMS, temporalLayerQP, 80);
NVENC_CHECK_OFFSET(NV_ENC_RC_PARAMS, lookaheadDepth, 90);
NVENC_CHECK_OFFSET(NV_ENC_RC_PARAMS, lowDelayKeyFrameScale, 92);
NVENC_CHECK_OFFSET(NV_ENC_RC_PARAMS, qpMapMode, 96);
NVENC_CHECK_OFFSET(NV_ENC_RC_PARAMS, multiPass, 100);
NVENC_CHECK_OFFSET(NV_ENC_RC_PARAMS, cbQPIndexOffset, 108);
NVENC_CHECK_OFFSET(NV_ENC_RC_PARAMS, reserved, 112);

NVENC_CHECK_SIZE(NV_ENC_CONFIG_H264_VUI_PARAMETERS, 112);
NVENC_CHECK_SIZE(NV_ENC_CONFIG_H264, 1792);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_H264, level, 4);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_H264, adaptiveTransformMode, 32);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_H264, h264VUIParameters, 72);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_H264, chromaFormatIDC, 192);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_H264, reserved2, 1280);
NVENC_CHECK_SIZE(NV_ENC_CONFIG_HEVC, 1560);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_HEVC, idrPeriod, 20);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_HEVC, hevcVUIParameters, 64);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_HEVC, reserved2, 1048);
NVENC_CHECK_SIZE(NV_ENC_CONFIG_AV1, 1552);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_AV1, idrPeriod, 20);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_AV1, tileWidths, 48);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_AV1, maxTemporalLayersMinus1, 64);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_AV1, colorPrimaries, 68);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_AV1, colorRange, 80);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_AV1, filmGrainParams, 96);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_AV1, numBwdRefs, 108);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_AV1, reserved1, 112);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG_AV1, reserved2, 1056);
NVENC_CHECK_SIZE(NV_ENC_CODEC_CONFIG, 1792);

NVENC_CHECK_SIZE(NV_ENC_CONFIG, 3584);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG, gopLength, 20);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG, frameFieldMode, 32);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG, rcParams, 40);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG, encodeCodecConfig, 168);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG, reserved, 1960);
NVENC_CHECK_OFFSET(NV_ENC_CONFIG, reserved2, 3072);

NVENC_CHECK_SIZE(NV_ENC_PRESET_CONFIG, 5128);
NVENC_CHECK_OFFSET(NV_ENC_PRESET_CONFIG, presetCfg, 8);
NVENC_CHECK_OFFSET(NV_ENC_PRESET_CONFIG, reserved2, 4616);

NVENC_CHECK_SIZE(NVENC_EXTERNAL_ME_HINT_COUNTS_PER_BLOCKTYPE, 16);
NVENC_CHECK_SIZE(NV_ENC_INITIALIZE_PARAMS, 1808);
NVENC_CHECK_OFFSET(NV_ENC_INITIALIZE_PARAMS, presetGUID, 20);
NVENC_CHECK_OFFSET(NV_ENC_INITIALIZE_PARAMS, enablePTD, 64);
NVENC_CHECK_OFFSET(NV_ENC_INITIALIZE_PARAMS, privData, 80);
NVENC_CHECK_OFFSET(NV_ENC_INITIALIZE_PARAMS, encodeConfig, 88);
NVENC_CHECK_OFFSET(NV_ENC_INITIALIZE_PARAMS, maxMEHintCountsPerBlock, 104);
NVENC_CHECK_OFFSET(NV_ENC_INITIALIZE_PARAMS, tuningInfo, 136);
NVENC_CHECK_OFFSET(NV_ENC_INITIALIZE_PARAMS, bufferFormat, 140);
NVENC_CHECK_OFFSET(NV_ENC_INITIALIZE_PARAMS, reserved, 144);
NVENC_CHECK_OFFSET(NV_ENC_INITIALIZE_PARAMS, reserved2, 1296);

NVENC_CHECK_SIZE(NV_ENC_RECONFIGURE_PARAMS, 1824);
NVENC_CHECK_OFFSET(NV_ENC_RECONFIGURE_PARAMS, reInitEncodeParams, 8);

NVENC_CHECK_SIZE(NV_ENC_REGISTER_RESOURCE, 1536);
NVENC_CHECK_OFFSET(NV_ENC_REGISTER_RESOURCE, resourceToRegister, 24);
NVENC_CHECK_OFFSET(NV_ENC_REGISTER_RESOURCE, registeredResource, 32);
NVENC_CHECK_OFFSET(NV_ENC_REGISTER_RESOURCE, bufferFormat, 40);
NVENC_CHECK_OFFSET(NV_ENC_REGISTER_RESOURCE, bufferUsage, 44);
NVENC_CHECK_OFFSET(NV_ENC_REGISTER_RESOURCE, reserved2, 1040);

NVENC_CHECK_SIZE(NV_ENC_CREATE_BITSTREAM_BUFFER, 776);
NVENC_CHECK_OFFSET(NV_ENC_CREATE_BITSTREAM_BUFFER, bitstreamBuffer, 16);
NVENC_CHECK_OFFSET(NV_ENC_CREATE_BITSTREAM_BUFFER, reserved2, 264);

NVENC_CHECK_SIZE(NV_ENC_MAP_INPUT_RESOURCE, 1544);
NVENC_CHECK_OFFSET(NV_ENC_MAP_INPUT_RESOURCE, registeredResource, 16);
NVENC_CHECK_OFFSET(NV_ENC_MAP_INPUT_RESOURCE, mappedResource, 24);
NVENC_CHECK_OFFSET(NV_ENC_MAP_INPUT_RESOURCE, mappedBufferFmt, 32);
NVENC_CHECK_OFFSET(NV_ENC_MAP_INPUT_RESOURCE, reserved2, 1040);

NVENC_CHECK_SIZE(NV_ENC_PIC_PARAMS_H264, 1536);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_H264, sliceTypeData, 24);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_H264, seiPayloadArray, 40);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_H264, sliceMode, 48);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_H264, reserved2, 1040);
NVENC_CHECK_SIZE(NV_ENC_PIC_PARAMS_HEVC, 1536);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_HEVC, seiPayloadArray, 64);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_HEVC, reserved3, 1048);
NVENC_CHECK_SIZE(NV_ENC_CODEC_PIC_PARAMS, 1536);
NVENC_CHECK_SIZE(NV_ENC_PIC_PARAMS_AV1, 1552);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_AV1, numTileColumns, 20);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_AV1, tileWidths, 32);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_AV1, obuPayloadArrayCnt, 48);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_AV1, filmGrainParams, 64);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_AV1, reserved3, 1064);

NVENC_CHECK_SIZE(NV_ENC_PIC_PARAMS_V5, 3344);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V5, inputTimeStamp, 24);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V5, inputBuffer, 40);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V5, bufferFmt, 64);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V5, pictureType, 72);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V5, codecPicParams, 80);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V5, meHintCountsPerBlock, 1616);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V5, qpDeltaMap, 1696);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V5, meHintRefPicDist, 1712);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V5, reserved4, 2864);
NVENC_CHECK_SIZE(NV_ENC_PIC_PARAMS_V4, 3344);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V4, codecPicParams, 80);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V4, newEncodeWidth, 1616);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V4, rcParams, 1624);
NVENC_CHECK_SIZE(NV_ENC_CODEC_PIC_PARAMS_V12, 1552);
NVENC_CHECK_SIZE(NV_ENC_PIC_PARAMS_V12, 3360);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V12, pictureType, 72);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V12, codecPicParams, 80);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V12, meHintCountsPerBlock, 1632);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V12, qpDeltaMap, 1712);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V12, meHintRefPicDist, 1728);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V12, alphaBuffer, 1736);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V12, meSbHintsCount, 1752);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V12, reserved3, 1756);
NVENC_CHECK_OFFSET(NV_ENC_PIC_PARAMS_V12, reserved4, 2896);

NVENC_CHECK_SIZE(NV_ENC_LOCK_BITSTREAM, 1544);
NVENC_CHECK_OFFSET(NV_ENC_LOCK_BITSTREAM, outputBitstream, 8);
NVENC_CHECK_OFFSET(NV_ENC_LOCK_BITSTREAM, bitstreamSizeInBytes, 36);
NVENC_CHECK_OFFSET(NV_ENC_LOCK_BITSTREAM, outputTimeStamp, 40);
NVENC_CHECK_OFFSET(NV_ENC_LOCK_BITSTREAM, bitstreamBufferPtr, 56);
NVENC_CHECK_OFFSET(NV_ENC_LOCK_BITSTREAM, pictureType, 64);
NVENC_CHECK_OFFSET(NV_ENC_LOCK_BITSTREAM, temporalId, 88);
NVENC_CHECK_OFFSET(NV_ENC_LOCK_BITSTREAM, intraMBCount, 140);
NVENC_CHECK_OFFSET(NV_ENC_LOCK_BITSTREAM, alphaLayerSizeInBytes, 156);
NVENC_CHECK_OFFSET(NV_ENC_LOCK_BITSTREAM, reserved1, 160);
NVENC_CHECK_OFFSET(NV_ENC_LOCK_BITSTREAM, reserved2, 1032);

#undef NVENC_CHECK_SIZE
#undef NVENC_CHECK_OFFSET
#endif

// On 32-bit Windows, where a 64-bit member aligns to 8, these sizes give the well-known 32-bit words
// (_M_IX86 is the Microsoft compiler's name of the target; MinGW's gcc says __i386__).
#if defined(_M_IX86) || (defined(_WIN32) && defined(__i386__))
static_assert(nvenc_struct_version<NV_ENC_PIC_PARAMS_V5>(NVENC_API_V5) == 0xD0040B00u,
              "32-bit picture params");
static_assert(nvenc_struct_version<NV_ENC_LOCK_BITSTREAM>(NVENC_API_V5) == 0x50010500u,
              "32-bit lock bitstream");
static_assert(nvenc_struct_version<NV_ENCODE_API_FUNCTION_LIST>(NVENC_API_V5) == 0x50020500u, "32-bit table");
#endif
