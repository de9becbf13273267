// What the driver offers one session, as its queries answered: the codecs, and for each codec asked
// about, its capabilities, its presets, the preset configurations asked for, and its input formats. Each is asked of the
// driver once per session, as the session is set up or when first needed (a format switch reads what
// set-up asked, and asks only for a configuration not asked for before); a query the driver refused is
// not kept, and is asked again when next needed. The catalogue is read by the codec, preset and
// parameter choices, and goes with the session. Names are those of the build's tables: a codec GUID
// without one is listed under no name; presets and formats without one are left out.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "guid.h"
#include "nvenc_api.h"

namespace tevu::nvenc {

// Entries in the driver's order, by name; a name listed again replaces the earlier entry's value in its
// place. A null name is a name of its own, which no lookup finds.
template <class T>
class NamedList {
public:
    struct Entry {
        const char* name;
        T value;
    };

    void set(const char* name, const T& value) {
        for (Entry& e : entries_) {
            if (same_name(e.name, name)) {
                e.value = value;
                return;
            }
        }
        entries_.push_back({name, value});
    }
    const T* find(const std::string& name) const {
        for (const Entry& e : entries_)
            if (e.name && name == e.name) return &e.value;
        return nullptr;
    }
    const std::vector<Entry>& entries() const { return entries_; }

private:
    static bool same_name(const char* a, const char* b) { return a == b || (a && b && std::strcmp(a, b) == 0); }
    std::vector<Entry> entries_;
};

// The input buffer formats of the tables that a format the driver lists includes.
using InputFormats = NamedList<uint32_t>;
using NamedGuids = NamedList<Guid>;

using PresetConfig = std::shared_ptr<const NV_ENC_PRESET_CONFIG>;

class Catalogue {
public:
    // A preset as the driver listed it: its name in the tables (null: unknown), and its configuration
    // for the listing's tuning (null: the driver refused it).
    struct ListedPreset {
        Guid guid;
        const char* name;
        PresetConfig config;
    };
    // A preset configuration the driver gave for a tuning (0 where the API has none).
    struct AskedConfig {
        Guid preset;
        uint32_t tuning;
        PresetConfig config;
    };
    // What the session offers for one codec; each part is empty until asked for.
    struct CodecOffer {
        Guid codec;
        bool presets_asked = false;
        uint32_t presets_counted = 0;              // the driver's count
        std::vector<ListedPreset> listed_presets;  // in the driver's order
        NamedGuids presets;                        // the known ones, by name
        std::vector<AskedConfig> configs;
        bool input_formats_asked = false;
        uint32_t input_formats_counted = 0;   // the driver's count
        std::vector<uint32_t> format_values;  // as the driver listed them
        InputFormats input_formats;

        std::vector<std::pair<int, int>> caps;  // capability, answer

        // A configuration asked for before, or null.
        PresetConfig config(const Guid& preset, uint32_t tuning) const;
        void keep_config(const Guid& preset, uint32_t tuning, PresetConfig config);
        // A capability answered before.
        std::optional<int> cap(int which) const;
    };

    NamedGuids& codecs() { return codecs_; }
    const NamedGuids& codecs() const { return codecs_; }
    // The offer for a codec, made on first use.
    CodecOffer& offer(const Guid& codec);

private:
    NamedGuids codecs_;
    std::vector<CodecOffer> offers_;
};

}  // namespace tevu::nvenc
