#include "build_tree.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <sstream>
#include <vector>

#include <unistd.h>

namespace tevu::gpu_check {

namespace {

std::string parent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

std::string join(const std::vector<std::string>& parts, char separator) {
    std::string text;
    for (const auto& part : parts) {
        if (!text.empty()) text += separator;
        text += part;
    }
    return text;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

std::string canonical(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

BuildTree BuildTree::of_this_program() {
    BuildTree tree;
    tree.program = canonical("/proc/self/exe");
    tree.root = parent(parent(tree.program));
    tree.platform = tree.root + "/platform";
    tree.python = tree.root + "/python";
    tree.kernels_image = tree.python + "/tevu/codecs/cuda_common/kernels.ptx";
    tree.scripts = tree.root + "/share/gpu-check";
    return tree;
}

std::string library_path_for(const std::string& current, const std::string& platform, bool stand_ins) {
    const std::string platform_dir = canonical(platform);
    std::vector<std::string> kept;
    if (stand_ins) kept.push_back(platform_dir);
    for (const auto& entry : split(current, ':'))
        if (!entry.empty() && canonical(entry) != platform_dir) kept.push_back(entry);
    return join(kept, ':');
}

void settle_library_path(const BuildTree& tree, bool stand_ins, char** argv) {
    const char* set = std::getenv("LD_LIBRARY_PATH");
    const std::string current = set ? set : "";
    const std::string wanted = library_path_for(current, tree.platform, stand_ins);
    if (wanted == current && (set || wanted.empty())) return;
    if (wanted.empty())
        unsetenv("LD_LIBRARY_PATH");
    else
        setenv("LD_LIBRARY_PATH", wanted.c_str(), 1);
    execv(tree.program.c_str(), argv);
    throw std::runtime_error("cannot start " + tree.program + " again: " + std::strerror(errno));
}

std::string find_executable(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    for (const auto& dir : split(environment("PATH"), ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

}  // namespace tevu::gpu_check
