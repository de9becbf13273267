// Parsing of the stand-in's control variables and the failure counting.
#include "controls.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace tevu::standin::nvenc;

TEST(Controls, ApiVersionText) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t version;
    };
    for (const Case& c : {Case{"5.0", true, 0x50}, Case{"4.0", true, 0x40}, Case{"6.1", true, 0x61},
                          Case{"5", false, 0}, Case{"x.0", false, 0}, Case{"16.0", false, 0}, Case{"", false, 0},
                          Case{"5.0.1", false, 0}}) {
        uint32_t v = 0;
        EXPECT_EQ(parse_api_version(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.version) << c.text;
        }
    }
}

// The stand-in's vocabularies: entry-point names, count queries, capability numbers, integers in C
// notation. (The shape of the items is tested with the shared list reader, the reports with a client.)
TEST(Controls, ListsTakeOnlyWhatTheStandinKnows) {
    std::vector<std::string> problems;
    const CapabilityOverrides caps =
        parse_capability_overrides("33=0,0x22=1,16=4096,16=2048,35=0,0=-1,hevc:33=1,av1:16=4096,h264:0x22=0", problems);
    EXPECT_EQ(caps.every_codec, (std::map<int, int>{{0, -1}, {16, 2048}, {33, 0}, {34, 1}, {35, 0}}));
    EXPECT_EQ(caps.per_codec, (std::map<Codec, std::map<int, int>>{
                                  {Codec::H264, {{34, 0}}}, {Codec::Hevc, {{33, 1}}}, {Codec::Av1, {{16, 4096}}}}));
    EXPECT_EQ(caps.find(Codec::Hevc, 33), 1);
    EXPECT_EQ(caps.find(Codec::Av1, 33), 0) << "an item without a codec applies to every codec";
    EXPECT_EQ(caps.find(Codec::Av1, 17), std::nullopt);
    EXPECT_EQ(parse_codec_list("av1,h264", problems), (std::vector<Codec>{Codec::H264, Codec::Av1}));
    EXPECT_EQ(parse_codec_list("", problems), (std::vector<Codec>{Codec::H264, Codec::Hevc, Codec::Av1}));
    EXPECT_EQ(parse_failure_rules("nvEncEncodePicture=8@2,nvEncLockBitstream=0x0d,NvEncodeAPICreateInstance=-1,"
                                  "nvEncInvalidateRefFrames=010",
                                  problems),
              (std::vector<FailureRule>{{"nvEncEncodePicture", 8, 2},
                                        {"nvEncLockBitstream", 13, 0},
                                        {"NvEncodeAPICreateInstance", -1, 0},
                                        {"nvEncInvalidateRefFrames", 8, 0}}));
    EXPECT_EQ(parse_overcount("nvEncGetEncodeGUIDCount,nvEncGetEncodeProfileGUIDCount,nvEncGetInputFormatCount,"
                              "nvEncGetEncodePresetCount",
                              problems),
              (std::set<std::string>{"nvEncGetEncodeGUIDCount", "nvEncGetEncodeProfileGUIDCount",
                                     "nvEncGetInputFormatCount", "nvEncGetEncodePresetCount"}));
    EXPECT_EQ(parse_empty_slots("nvEncGetEncodePresetConfigEx,nvEncGetLastErrorString", problems),
              (std::set<std::string>{"nvEncGetEncodePresetConfigEx", "nvEncGetLastErrorString"}));
    EXPECT_TRUE(problems.empty()) << problems.at(0);

    const CapabilityOverrides none =
        parse_capability_overrides("36=1,-1=1,x=1,4294967329=0,33=x,33=4294967296,hvec:33=0,av1:36=0", problems);
    EXPECT_TRUE(none.every_codec.empty() && none.per_codec.empty());
    EXPECT_EQ(parse_codec_list("h265,vp9,hevc", problems), (std::vector<Codec>{Codec::Hevc}));
    EXPECT_TRUE(parse_failure_rules("anyName=1,not_offered=1,nvEncEncodePicture=z,nvEncEncodePicture=4294967296",
                                    problems)
                    .empty());
    EXPECT_TRUE(parse_overcount("nvEncGetEncodeGUIDs,nvEncGetEncodeCaps,nvEncGetCount", problems).empty());
    EXPECT_TRUE(parse_empty_slots("NvEncodeAPICreateInstance,nvEncGetPresetConfigEx", problems).empty());
    EXPECT_EQ(problems, (std::vector<std::string>{
                            "ignoring '36=1': unknown capability",
                            "ignoring '-1=1': unknown capability",
                            "ignoring 'x=1': unknown capability",
                            "ignoring '4294967329=0': unknown capability",
                            "ignoring '33=x': value must be an integer",
                            "ignoring '33=4294967296': value must be an integer",
                            "ignoring 'hvec:33=0': unknown codec",
                            "ignoring 'av1:36=0': unknown capability",
                            "ignoring 'h265': unknown codec",
                            "ignoring 'vp9': unknown codec",
                            "ignoring 'anyName=1': unknown entry point",
                            "ignoring 'not_offered=1': unknown entry point",
                            "ignoring 'nvEncEncodePicture=z': status must be an integer",
                            "ignoring 'nvEncEncodePicture=4294967296': status must be an integer",
                            "ignoring 'nvEncGetEncodeGUIDs': not a count query",
                            "ignoring 'nvEncGetEncodeCaps': not a count query",
                            "ignoring 'nvEncGetCount': unknown entry point",
                            "ignoring 'NvEncodeAPICreateInstance': not a slot of the function table",
                            "ignoring 'nvEncGetPresetConfigEx': unknown entry point",
                        }));
    for (const auto& [text, status] : {std::pair<const char*, std::optional<int>>{"2", 2}, {"10", 10}, {"0x15", 21},
                                       {"21 ", std::nullopt}, {"8", std::nullopt}, {"", std::nullopt}})
        EXPECT_EQ(parse_session_limit_status(text), status) << text;
}

std::vector<FailureRule> rules(const char* text) {
    std::vector<std::string> problems;
    return parse_failure_rules(text, problems);
}

TEST(Controls, FailureInjectorCountsEachEntry) {
    FailureInjector injector;
    injector.set_rules(rules("nvEncEncodePicture=8@2,nvEncLockBitstream=9"));
    EXPECT_EQ(injector.next_call("nvEncEncodePicture"), 0);
    EXPECT_EQ(injector.next_call("nvEncUnlockBitstream"), 0);
    EXPECT_EQ(injector.next_call("nvEncEncodePicture"), 8);
    EXPECT_EQ(injector.next_call("nvEncEncodePicture"), 0);
    EXPECT_EQ(injector.next_call("nvEncLockBitstream"), 9);
    EXPECT_EQ(injector.next_call("nvEncLockBitstream"), 9);
    injector.set_rules(rules("nvEncEncodePicture=8@2,nvEncLockBitstream=9"));  // the same rules keep counting
    EXPECT_EQ(injector.next_call("nvEncEncodePicture"), 0);
    injector.set_rules(rules("nvEncEncodePicture=7@1"));  // new rules count afresh
    EXPECT_EQ(injector.next_call("nvEncEncodePicture"), 7);
}

TEST(Controls, OvercountNamesEntriesAndSkipsEmptyItems) {
    setenv("NVENC_EMU_OVERCOUNT", ",nvEncGetEncodeGUIDCount,,nvEncGetInputFormatCount,", 1);
    EXPECT_EQ(controls_from_environment().overcount,
              (std::set<std::string>{"nvEncGetEncodeGUIDCount", "nvEncGetInputFormatCount"}));
    setenv("NVENC_EMU_OVERCOUNT", "", 1);
    EXPECT_TRUE(controls_from_environment().overcount.empty());
    unsetenv("NVENC_EMU_OVERCOUNT");
}

TEST(Controls, FromEnvironmentWithDefaultsForBadValues) {
    setenv("NVENC_EMU_MAX_SESSIONS", "3", 1);
    setenv("NVENC_EMU_MAX_API", "4.0", 1);
    setenv("NVENC_EMU_NULL", "1", 1);
    setenv("NVENC_EMU_TRACE", "/tmp/x", 1);
    setenv("NVENC_EMU_LEGACY_PRESETS", "0", 1);
    Controls c = controls_from_environment();
    EXPECT_EQ(c.max_sessions, 3u);
    EXPECT_EQ(c.max_api, 0x40u);
    EXPECT_FALSE(c.legacy_presets);
    EXPECT_TRUE(c.null_encode);
    EXPECT_FALSE(c.extra_preset);
    EXPECT_EQ(c.trace_path, "/tmp/x");
    setenv("NVENC_EMU_MAX_SESSIONS", "many", 1);
    setenv("NVENC_EMU_MAX_API", "five", 1);
    setenv("NVENC_EMU_NULL", "yes", 1);
    setenv("NVENC_EMU_LEGACY_PRESETS", "1", 1);
    c = controls_from_environment();
    EXPECT_EQ(c.max_sessions, 32u);
    EXPECT_EQ(c.max_api, 0xC2u) << "12.2";
    EXPECT_TRUE(c.legacy_presets);
    EXPECT_FALSE(c.null_encode);
    for (const char* too_large : {"4294967296", "0x100000000", "99999999999999999999"}) {
        setenv("NVENC_EMU_MAX_SESSIONS", too_large, 1);
        EXPECT_EQ(controls_from_environment().max_sessions, 32u) << too_large;  // not wrapped around
    }
    for (const char* v :
         {"NVENC_EMU_MAX_SESSIONS", "NVENC_EMU_MAX_API", "NVENC_EMU_NULL", "NVENC_EMU_TRACE", "NVENC_EMU_LEGACY_PRESETS"})
        unsetenv(v);
}
