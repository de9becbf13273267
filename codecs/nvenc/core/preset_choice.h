// Which presets suit a stream: the candidates ranked by how far each preset's speed and quality lie
// from the wanted ones. Pure: the session's offer is checked by the caller, best candidate first.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tevu::nvenc {

// Score → preset names, lowest (best) score first; names keep the preset table's order within a score.
// A desired preset, when given, comes first of all (score -1).
using PresetCandidates = std::map<long long, std::vector<std::string>>;

struct PresetWanted {
    int speed;
    int quality;
    bool lossless;
    bool yuv444;  // the pixel format is 4:4:4 (lossless presets need it)
    std::string desired;
};

PresetCandidates rank_presets(const PresetWanted& wanted);

}  // namespace tevu::nvenc
