// What the driver offers one session, as its queries answered: the codecs, and for each codec asked
// about, its presets and its input formats. A session's catalogue is filled by those queries as the
// session is set up (each query replaces what it answered before: a format switch asks for the presets
// and input formats again), is read by the codec, preset and parameter choices, and goes with the
// session. Names are those of the build's tables: a codec GUID without one is listed under no name;
// presets and formats without one are left out.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "guid.h"

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

class Catalogue {
public:
    // What the session offers for one codec; presets and input formats are empty until asked for.
    struct CodecOffer {
        Guid codec;
        NamedGuids presets;
        InputFormats input_formats;
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
