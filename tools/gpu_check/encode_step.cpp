#include "encode_step.h"

#include "cpu_kernels.h"
#include "nvenc_step.h"
#include "platform_library.h"
#include "tables.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tevu::gpu_check {

namespace {

// The names the modules open, and the library the check chose in their place (empty: the same names).
struct ModuleLibrary {
    cuda::LibraryNames module_names;
    const std::string& chosen;
};

// A temporary folder of links, removed with everything in it at the end.
class LinkFolder {
public:
    LinkFolder() {
        char pattern[] = "/tmp/gpu-check.XXXXXX";
        if (mkdtemp(pattern)) path_ = pattern;
    }
    LinkFolder(const LinkFolder&) = delete;
    LinkFolder& operator=(const LinkFolder&) = delete;
    ~LinkFolder() {
        for (const auto& link : links_) unlink(link.c_str());
        if (!path_.empty()) rmdir(path_.c_str());
    }
    bool add(const std::string& name, const std::string& target) {
        const std::string link = path_ + "/" + name;
        if (path_.empty() || symlink(target.c_str(), link.c_str()) != 0) return false;
        links_.push_back(link);
        return true;
    }
    const std::string& path() const noexcept { return path_; }
    bool empty() const noexcept { return links_.empty(); }

private:
    std::string path_;
    std::vector<std::string> links_;
};

bool is_file(const std::string& path) {
    struct stat s;
    return stat(path.c_str(), &s) == 0 && S_ISREG(s.st_mode);
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The interpreter: PYTHON, else PYTHON2, else the one the build's tools run (its Python 3 when it built the
// modules for one), else python3 or python2.7 on PATH.
std::optional<std::string> find_python(std::string& why_not) {
    for (const char* variable : {"PYTHON", "PYTHON2"}) {
        const std::string chosen = environment(variable);
        if (chosen.empty()) continue;
        if (!find_executable(chosen).empty()) return chosen;
        why_not = std::string(variable) + "=" + chosen + " is not an executable";
        return std::nullopt;
    }
    if (access(TEVU_GPU_CHECK_BUILD_PYTHON, X_OK) == 0) return std::string(TEVU_GPU_CHECK_BUILD_PYTHON);
    for (const char* name : {"python3", "python2.7"}) {
        std::string on_path = find_executable(name);
        if (!on_path.empty()) return on_path;
    }
    why_not = "no Python interpreter (neither PYTHON, PYTHON2, nor " TEVU_GPU_CHECK_BUILD_PYTHON
              ", nor python3 or python2.7 on PATH)";
    return std::nullopt;
}

// True when a folder holds an extension module of that name for any interpreter (Python 2.7's
// namemodule.so, Python 3's name.<tag>.so).
bool has_module(const std::string& folder, const std::string& name) {
    DIR* d = opendir(folder.c_str());
    if (!d) return false;
    bool found = false;
    while (const dirent* entry = readdir(d)) {
        const std::string file = entry->d_name;
        const bool tagged = file.size() > name.size() + 3 && file.compare(0, name.size() + 1, name + ".") == 0 &&
                            file.compare(file.size() - 3, 3, ".so") == 0;
        if ((tagged || file == name + "module.so") && is_file(folder + "/" + file)) found = true;
    }
    closedir(d);
    return found;
}

// The folder of the module of an API (tevu.codecs.nvenc<major>).
std::string module_folder(const BuildTree& tree, std::uint32_t api) {
    return tree.python + "/tevu/codecs/nvenc" + std::to_string(api >> 4);
}

// The modules open the libraries under their own names; where those lead to other files than the ones
// checked (a library chosen by path), links under the modules' first name point them to the checked ones.
void link_module_names(Report& report, const Options& options, LinkFolder& links) {
    const ModuleLibrary libraries[] = {{cuda::cuda_driver_library(cuda::native_windows), options.cuda_library},
                                       {cuda::nvenc_library(cuda::native_windows), options.nvenc_library}};
    for (const ModuleLibrary& l : libraries) {
        const PlatformLibrary checked = open_platform_library(names_to_check(l.chosen, l.module_names));
        std::string found;
        try {
            found = open_platform_library(l.module_names).path;
        } catch (const cuda::LibraryError&) {
        }
        if (found == checked.path) continue;
        const std::string& name = l.module_names.name;
        const std::string seen = found.empty() ? "are not on the loader's path" : "lead to " + found;
        if (!links.add(name, checked.path)) {
            report.fail(step_encode, "the modules' names for " + name + " " + seen + ", and no link could be made");
            continue;
        }
        report.info(step_encode, "the modules' names for " + name + " " + seen + "; " + name + " linked to " +
                                     checked.path + " in " + links.path());
    }
}

void set_default(std::vector<std::string>& env, const std::string& name, const std::string& value) {
    if (!std::getenv(name.c_str())) env.push_back(name + "=" + value);
}

std::vector<std::string> child_environment(const BuildTree& tree, const Options& options, const LinkFolder& links) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("PYTHONPATH=", 0) != 0 && entry.rfind("LD_LIBRARY_PATH=", 0) != 0) env.push_back(entry);
    }
    const std::string python_path = environment("PYTHONPATH");
    env.push_back("PYTHONPATH=" + tree.python + (python_path.empty() ? "" : ":" + python_path));
    std::string library_path = environment("LD_LIBRARY_PATH");
    if (!links.empty()) library_path = links.path() + (library_path.empty() ? "" : ":" + library_path);
    if (!library_path.empty()) env.push_back("LD_LIBRARY_PATH=" + library_path);
    set_default(env, "PYTHONDONTWRITEBYTECODE", "1");
    // Let init_module keep YUV444 and lossless where the hardware offers them, whatever the driver's age.
    set_default(env, "TEVU_NVENC_YUV444P", "1");
    if (options.stand_ins) set_default(env, "TEVU_NV_DRIVER_VERSION", "346.59");
    // A sanitizer build's modules load only into an interpreter with the sanitizer's runtime preloaded.
    if (*TEVU_GPU_CHECK_PYTHON_PRELOAD) set_default(env, "LD_PRELOAD", TEVU_GPU_CHECK_PYTHON_PRELOAD);
    return env;
}

// Runs the script and waits; returns its exit status, or -1 when it did not exit normally.
int run(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    std::cout.flush();
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        execve(argv[0], argv.data(), envp.data());
        std::fprintf(stderr, "gpu-check: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

void check_encoding(Report& report, const BuildTree& tree, const Options& options,
                    const std::vector<std::uint32_t>& apis) {
    std::string why_not;
    const auto python = find_python(why_not);
    if (!python) return report.skip(step_encode, why_not);
    // The build may lack some API's module (a 32-bit build has no API-12.0 module, for one).
    std::vector<std::uint32_t> built, missing;
    for (const std::uint32_t api : apis)
        (has_module(module_folder(tree, api), "encoder") ? built : missing).push_back(api);
    if (built.empty())
        return report.skip(step_encode, "the build folder has no encoder modules (" + tree.python + ")");
    for (const std::uint32_t api : missing)
        report.skip(step_encode, "API " + nvenc::api_version_text(api) + ": the build folder has no module of it (" +
                                     module_folder(tree, api) + ")");
    for (const char* tool : {"ffmpeg", "ffprobe"})
        if (find_executable(tool).empty()) return report.skip(step_encode, std::string("no ") + tool + " on PATH");
    const std::string script = tree.scripts + "/encode_check.py";
    if (!is_file(script)) return report.fail(step_encode, "the build folder lacks " + script);

    LinkFolder links;
    if (!options.stand_ins) link_module_names(report, options, links);
    std::string api_list;
    for (const std::uint32_t api : built) api_list += (api_list.empty() ? "" : ",") + nvenc::api_version_text(api);
    const std::vector<std::string> args = {*python,
                                           script,
                                           "--apis",
                                           api_list,
                                           "--frames",
                                           std::to_string(options.frames),
                                           "--size",
                                           std::to_string(options.width) + "x" + std::to_string(options.height),
                                           "--reference-tool",
                                           tree.program};
    // The script's exit status is its number of failed checks, at most max_script_failures.
    constexpr int max_script_failures = 100;
    const int status = run(args, child_environment(tree, options, links));
    if (status == 0) return;
    if (status > 0 && status <= max_script_failures)
        report.count_failures(status);
    else
        report.fail(step_encode, script + " ended abnormally (status " + std::to_string(status) + ")");
}

int write_reference_yuv444(int width, int height) {
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    std::vector<unsigned char> frame(4 * pixels), planes(3 * pixels);
    while (std::fread(frame.data(), 1, frame.size(), stdin) == frame.size()) {
        const standin::cuda::ConversionArgs args{frame.data(), width, height, 4 * width, planes.data(),
                                                 width, height, width, width, height};
        standin::cuda::bgra_to_yuv444(args);
        if (std::fwrite(planes.data(), 1, planes.size(), stdout) != planes.size()) return 1;
    }
    return std::ferror(stdin) ? 1 : 0;
}

}  // namespace tevu::gpu_check
