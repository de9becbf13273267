# Sourced by the tools' wrappers: tool_build_args TOOL "$@" takes --build DIR (or --build=DIR) out of the
# arguments, wherever it stands, and sets `build` (absolute; default build/ beside tools/) and `args` (the
# others). A --build without a folder, or one that does not exist, ends the tool with status 2.
tool_build_args() {
  local tool=$1
  shift
  build="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build"
  args=()
  local folder
  while (($#)); do
    case "$1" in
      --build | --build=*)
        if [[ "$1" == --build=* ]]; then
          folder="${1#--build=}"
          shift
        elif (($# < 2)); then
          echo "$tool: --build needs a folder" >&2
          exit 2
        else
          folder="$2"
          shift 2
        fi
        if [[ ! -d "$folder" ]]; then
          echo "$tool: --build: no such folder: $folder" >&2
          exit 2
        fi
        build="$(cd "$folder" && pwd)"
        ;;
      *)
        args+=("$1")
        shift
        ;;
    esac
  done
}

# tool_usage TOOL TEXT "$@": with --help among the arguments prints TEXT and exits 0; with --version the
# project version of the CMakeLists.txt beside tools/ (these tools run before any build exists).
tool_usage() {
  local tool=$1 text=$2 a
  shift 2
  for a in "$@"; do
    case "$a" in
      -h | --help)
        printf '%s\n' "$text"
        exit 0
        ;;
      --version)
        sed -n 's/^project([a-z_]* VERSION \([0-9.]*\).*/'"$tool"' \1/p' "$(dirname "${BASH_SOURCE[0]}")/../CMakeLists.txt"
        exit 0
        ;;
    esac
  done
}

# tool_sanitizer_preload: the sanitizer runtime that the interpreter needs preloaded to load the modules
# of a sanitizer build (from its CMakeCache.txt), or nothing. Only the interpreter gets it, no other program.
tool_sanitizer_preload() {
  grep -m1 '^TEVU_SANITIZER_PRELOAD:' "$build/CMakeCache.txt" 2>/dev/null | cut -d= -f2- || true
}
