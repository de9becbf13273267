# The NVENC APIs the encoder module is built for, newest first. This is the one list of them: CMake builds
# a module per row (codecs/nvenc/CMakeLists.txt) and writes what the tools and the tests read from it
# (TEVU_NVENC_APIS, the C++ header tevu_nvenc_apis.h and the Python module tevu_nvenc_apis).
#
#   tevu_nvenc_api(<number> WORD <api word> PRESETS legacy|tuned TRAITS <units in api/...>
#                  CODECS <encodings, one unit codec/<encoding>.cpp each, in the order of preference> [BITS 64])
#
# <number> names the module (tevu.codecs.nvenc<number>.encoder), its targets (tevu_nvenc<number>_encoder,
# tevu_nvenc<number>_encoder_core) and its tests (encoder<number>.<suite>). WORD chooses the structure
# layouts of nvidia/nvenc_api.h (NVENCAPI_VERSION); TRAITS are the units that say what differs between
# the API builds (core/api_traits.h and the vocabulary of core/tables.h). PRESETS: legacy, the presets that
# drivers from 590 on no longer offer, or tuned, the presets with tunings of API 10 and later. BITS 64: the drivers that speak
# this API serve no 32-bit client, so a 32-bit build leaves the module out. CODECS: the encodings the module
# offers by the names a host asks for (codec/<name>.cpp each); the first is the one every device has.
tevu_nvenc_api(12 WORD 0xC0 PRESETS tuned TRAITS api12_traits.cpp CODECS h264 h265 av1 BITS 64)
tevu_nvenc_api(5 WORD 0x50 PRESETS legacy TRAITS api5_traits.cpp legacy_tables.cpp CODECS h264)
tevu_nvenc_api(4 WORD 0x40 PRESETS legacy TRAITS api4_traits.cpp legacy_tables.cpp CODECS h264)
