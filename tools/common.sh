# Set-up shared by the project's commands. The C++ core is compiled once per
# build flavour: in the release tree build/release (with the C++ tests, the
# benchmarks and the examples), which installs it into build/release/core, and
# in the sanitized tree build/sanitize. The Python package is built for each
# Python version without pip's isolation, from a build folder that persists
# (build/<wheel tag>; a plain `pip install .` builds in a throw-away folder of
# its own instead), against that installed core: only the Python boundary is
# compiled per version. Every compilation goes through tools/compile-launcher
# (ccache, and a log of what was really compiled). Safe to run again: each step
# is skipped when its inputs have not changed, and a rebuild recompiles only the
# files that changed.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LOGS="$ROOT/build/logs"
# The Python versions the module supports and the suite runs on.
SUPPORTED_PYTHONS="3.11 3.12 3.13"
# The files that the module is built from: a change to any of them rebuilds it.
MODULE_INPUTS=("$ROOT/src" "$ROOT/python" "$ROOT/cmake" "$ROOT/CMakeLists.txt" "$ROOT/pyproject.toml" "$ROOT/tools/stubgen.cpp")
# The release tree, and the prefix its core is installed into for the modules.
RELEASE_TREE="$ROOT/build/release"
CORE_PREFIX="$RELEASE_TREE/core"
LAUNCHER="$ROOT/tools/compile-launcher"
# Two cores are shared by everyone on the machine.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

# A step's announcement, with the seconds since the command started.
say() { printf '==> [%3d s] %s\n' "$SECONDS" "$*"; }

fail() {
  printf 'error: %s\n' "$*" >&2
  return 1
}

# run_logged LABEL LOG COMMAND...: runs COMMAND with its whole output in
# build/logs/LOG.log, echoing only its progress lines (PROGRESS_PATTERN, by
# default the build steps) and a line every ten seconds of silence. On failure
# the end of the log is shown.
run_logged() {
  local label="$1" log="$LOGS/$2.log"
  shift 2
  mkdir -p "$LOGS"
  if "$@" 2>&1 | "${PROGRESS_PY:-python3}" "$ROOT/tools/progress.py" "$log" "$label" "${PROGRESS_PATTERN:-}"; then
    return 0
  fi
  printf 'error: %s failed; the end of %s:\n' "$label" "${log#"$ROOT"/}" >&2
  tail -n 60 "$log" >&2
  return 1
}

# stop_tree PID: ends the process PID and every process it started.
stop_tree() {
  local child
  for child in $(pgrep -P "$1" 2>/dev/null); do stop_tree "$child"; done
  kill "$1" 2>/dev/null || true
}

# version_of PYTHON: "3.12" for a CPython 3.12 (a "t" follows for a free-threaded build).
version_of() {
  "$1" -c 'import sys, sysconfig
print("%d.%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))' 2>/dev/null
}

# find_python VERSION: the path of a CPython of that version (pyenv's first, then
# pythonVERSION on PATH), or nothing and a failure.
find_python() {
  local version="$1" candidate
  local pyenv_root="${PYENV_ROOT:-$(pyenv root 2>/dev/null || printf '%s/.pyenv' "${HOME:-}")}"
  local candidates=()
  if [ -d "$pyenv_root/versions" ]; then
    while IFS= read -r candidate; do candidates+=("$candidate"); done < <(
      ls -d "$pyenv_root/versions/$version".*/bin/python"$version" 2>/dev/null | sort -rV)
  fi
  # A pyenv shim on PATH exists for every installed version but runs only the
  # active ones, so each candidate is asked for its version.
  candidate="$(command -v "python$version" || true)"
  [ -n "$candidate" ] && candidates+=("$candidate")
  for candidate in "${candidates[@]}"; do
    if [ "$(version_of "$candidate")" = "$version" ]; then
      printf '%s\n' "$candidate"
      return 0
    fi
  done
  return 1
}

# default_python: python3 on PATH when it is a supported version, otherwise the
# newest supported one found.
default_python() {
  local candidate version
  candidate="$(command -v python3 || true)"
  if [ -n "$candidate" ]; then
    version="$(version_of "$candidate")"
    if [[ " $SUPPORTED_PYTHONS " == *" $version "* ]]; then
      "$candidate" -c 'import sys; print(sys.executable)'
      return 0
    fi
  fi
  for version in $(printf '%s\n' $SUPPORTED_PYTHONS | sort -rV); do
    find_python "$version" && return 0
  done
  fail "no CPython 3.11 or newer found: install python3 (3.11+) with python3-dev and python3-venv"
}

# venv_for VERSION: .venv for the default Python (the demo's), .venv-VERSION otherwise.
venv_for() {
  local default
  default="$(default_python)" || return 1
  if [ "$(version_of "$default")" = "$1" ]; then
    printf '%s\n' "$ROOT/.venv"
  else
    printf '%s\n' "$ROOT/.venv-$1"
  fi
}

# ensure_env VENV PYTHON [EXTRA...]: VENV exists, made with PYTHON, and holds the
# build requirements and those of the extras. Each group is installed again only
# when pyproject.toml has changed since.
ensure_env() {
  local venv="$1" base="$2"
  shift 2
  local py="$venv/bin/python" group stamp digest
  if [ ! -x "$py" ]; then
    say "creating the environment ${venv#"$ROOT"/} with $("$base" --version 2>&1)"
    rm -rf "$venv"
    # Only the default environment has a pip of its own; the others use it.
    local without_pip=()
    [ -n "${PY:-}" ] && [ "$venv/bin/python" != "$PY" ] && without_pip=(--without-pip)
    "$base" -m venv "${without_pip[@]}" "$venv" ||
      fail "cannot create a virtual environment with $base; on Debian install python3-venv (or python$(version_of "$base")-venv)"
  fi
  digest="$(cksum <"$ROOT/pyproject.toml")"
  local groups=()
  for group in build "$@"; do
    stamp="$venv/.ttk-requirements-$group"
    [ "$(cat "$stamp" 2>/dev/null)" = "$digest" ] || groups+=("$group")
  done
  [ ${#groups[@]} -eq 0 ] && return 0
  say "installing the requirements (${groups[*]}) into ${venv#"$ROOT"/}"
  local requirements=()
  mapfile -t requirements < <("$py" "$ROOT/tools/requirements.py" "${groups[@]}")
  [ "$venv/bin/python" = "${PY:-}" ] && ensure_uv "$venv"
  PROGRESS_PY="$py" PROGRESS_PATTERN='^(Collecting|Installing collected|Successfully installed| \+ )' \
    run_logged "installing requirements" "requirements-$(basename "$venv")" \
    install_into "$venv" "${requirements[@]}"
  # What the build backend needs besides (CMake or Ninja when the system has none).
  local backend=()
  mapfile -t backend < <("$py" -c 'from scikit_build_core.build import get_requires_for_build_wheel
for requirement in get_requires_for_build_wheel(): print(requirement)')
  if [ ${#backend[@]} -gt 0 ]; then
    PROGRESS_PY="$py" PROGRESS_PATTERN='^(Collecting|Successfully installed) ' \
      run_logged "installing build tools" "requirements-$(basename "$venv")" \
      install_into "$venv" "${backend[@]}"
  fi
  for group in "${groups[@]}"; do printf '%s\n' "$digest" >"$venv/.ttk-requirements-$group"; done
}

# ensure_uv VENV: uv in the default environment VENV, which installs the
# requirements of every environment in a tenth of pip's time. Without it (no
# wheel for this machine, say) pip does the work.
ensure_uv() {
  [ -x "$1/bin/uv" ] && return 0
  mkdir -p "$LOGS"
  "$1/bin/python" -m pip install --quiet --no-compile "uv>=0.9,<1" >>"$LOGS/requirements-uv.log" 2>&1 ||
    say "going on without uv: pip installs the requirements"
}

# install_into VENV REQUIREMENT...: installs into VENV with the default
# environment's uv, or with pip when there is no uv or it fails.
install_into() {
  local venv="$1"
  shift
  if [ -n "${VENV:-}" ] && [ -x "$VENV/bin/uv" ]; then
    "$VENV/bin/uv" pip install --python "$venv/bin/python" "$@" && return 0
    say "uv could not install the requirements; pip tries"
  fi
  pip_in "$venv" install --no-compile "$@"
}

# pip_in VENV ARGUMENTS...: pip for VENV. The default environment has its own;
# the others are made without one and are served by the default environment's
# (pip --python), which keeps a copy of pip out of each of them.
pip_in() {
  local venv="$1"
  shift
  if [ -x "$venv/bin/pip" ] || [ -z "${PY:-}" ]; then
    "$venv/bin/python" -m pip "$@"
  else
    "$PY" -m pip --python "$venv/bin/python" "$@"
  fi
}

# cmake_generator: Ninja when there is one, else CMake's default.
cmake_generator() {
  if command -v ninja >/dev/null; then printf '%s\n' -G Ninja; fi
}

# configure_tree DIR LABEL [CMAKE ARGUMENTS...]: configures the CMake tree DIR of
# this project once, with the launcher; afterwards the build reruns CMake itself
# when a CMakeLists.txt changes.
configure_tree() {
  local tree="$1" label="$2"
  shift 2
  [ -f "$tree/CMakeCache.txt" ] && return 0
  say "configuring ${tree#"$ROOT"/} ($label)"
  local generator=()
  mapfile -t generator < <(cmake_generator)
  PROGRESS_PY="$PY" PROGRESS_PATTERN='^CMake (Error|Warning)' run_logged "configuring ${tree#"$ROOT"/}" \
    "configure-$(basename "$tree")" \
    cmake -S "$ROOT" -B "$tree" "${generator[@]}" -DPython_EXECUTABLE="$PY" \
    -DCMAKE_CXX_COMPILER_LAUNCHER="$LAUNCHER" "$@"
}

# ensure_release_tree: the release tree, configured (needs PY).
ensure_release_tree() {
  configure_tree "$RELEASE_TREE" "release: the core, the C++ tests and the benchmarks" \
    -DCMAKE_BUILD_TYPE=Release -DTTK_BUILD_TESTS=ON -DTTK_BUILD_BENCH=ON
}

# build_core: the core (and, with toml++, the torso file reader) compiled in
# the release tree and installed into CORE_PREFIX, where the Python builds and
# the downstream project find it.
# Nothing to do with TTK_CORE_BUILT set: the caller has built and installed the
# core already, and may be building the release tree meanwhile, which must not
# be built twice at once.
build_core() {
  [ -z "${TTK_CORE_BUILT:-}" ] || return 0
  ensure_release_tree
  PROGRESS_PY="$PY" PROGRESS_PATTERN='^\[ *[0-9]+/[0-9]+\] (Building|Linking)' \
    run_logged "building the core" build-core cmake --build "$RELEASE_TREE" --target cpp_package
  run_logged "installing the core" install-core \
    cmake --install "$RELEASE_TREE" --component core --prefix "$CORE_PREFIX"
}

# build_module VENV: builds the package (the module and the toolkit) and
# installs it into VENV, unless it is installed already and none of its sources
# has changed since. Builds and installs the core first.
build_module() {
  local venv="$1"
  local py="$venv/bin/python" stamp="$venv/.ttk-module" version
  version="$(version_of "$py")"
  build_core
  if [ -f "$stamp" ] && [ -z "$(find "$CORE_PREFIX" -name '*.a' -newer "$stamp" -print -quit)" ] && [ -z "$(find "${MODULE_INPUTS[@]}" -newer "$stamp" -print -quit 2>/dev/null)" ] &&
    "$py" -c 'import importlib.util, sys; sys.exit(importlib.util.find_spec("tavrino_torso_kinematics") is None)'; then
    say "the module for Python $version is up to date"
    return 0
  fi
  say "building the module for Python $version into build/ and installing it into ${venv#"$ROOT"/}"
  # Taken before the build, so that a file edited during it triggers the next one.
  touch "$stamp.next"
  PROGRESS_PY="$py" run_logged "building the module" "module-$version" \
    pip_in "$venv" install --no-build-isolation --no-deps --no-compile --verbose \
    --config-settings=build-dir="$ROOT/build/{wheel_tag}" \
    --config-settings=cmake.define.TTK_CORE_PREFIX="$CORE_PREFIX" \
    --config-settings=cmake.define.CMAKE_CXX_COMPILER_LAUNCHER="$LAUNCHER" "$ROOT"
  mv "$stamp.next" "$stamp"
}

# ensure_venv [EXTRA...]: the default environment, .venv, made with
# default_python and holding the build requirements and those of the extras;
# sets VENV and PY (its python).
ensure_venv() {
  DEFAULT_PYTHON="$(default_python)" || return 1
  VENV="$(venv_for "$(version_of "$DEFAULT_PYTHON")")"
  PY="$VENV/bin/python"
  ensure_env "$VENV" "$DEFAULT_PYTHON" "$@"
}

# install_module [EXTRA]: the module, and the requirements of EXTRA, in .venv.
install_module() {
  [ -n "${PY:-}" ] || ensure_venv ${1:+"$1"}
  ensure_env "$VENV" "$DEFAULT_PYTHON" ${1:+"$1"}
  build_module "$VENV"
}

# apt_install PACKAGE DESCRIPTION: installs a Debian package, as root or with
# sudo; fails when neither is possible.
apt_install() {
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { fail "$2 is missing: install Debian's $1"; return 1; }
    sudo=sudo
  fi
  say "installing $2 (Debian's $1)"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$1" >/dev/null
}

ensure_gtest() {
  [ -f /usr/include/gtest/gtest.h ] || apt_install libgtest-dev GoogleTest
}

# ensure_tomlplusplus: toml++, which the C++ torso file reader
# (tavrino::torso_file) is built with. A build without it leaves the reader
# out; the test command tests it, so it must be there.
ensure_tomlplusplus() {
  [ -f /usr/include/toml++/toml.h ] || apt_install libtomlplusplus-dev toml++
}

# ensure_chromium: the browser the viewer's test drives (headless, through
# Playwright); without it that test is skipped.
ensure_chromium() {
  command -v chromium >/dev/null && return 0
  apt_install chromium Chromium || say "going on without chromium: the viewer's browser test is skipped"
}

# ensure_ccache: ccache when it can be had; the builds work without it, only
# slower on a rerun from scratch.
ensure_ccache() {
  command -v ccache >/dev/null && return 0
  apt_install ccache ccache || say "going on without ccache"
}
