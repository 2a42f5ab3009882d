# What the two commands need and a fresh machine may lack, sourced by both:
# Debian's packages (as root, or with sudo), the CPythons under pyenv where nox
# finds them, and nox, uv and Ninja in a tools environment of their own.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The Debian packages beyond the README's prerequisites, one a word: Eigen, the
# C++ tests' GoogleTest, toml++ for the C++ torso file reader, ccache, and the
# browser the viewer's test drives, with its driver.
DEBIAN_PACKAGES="libeigen3-dev libgtest-dev libtomlplusplus-dev ccache chromium chromium-driver"
# The tools environment's requirements: nox's --parallel and requires= need 2026.10.
TOOLS_REQUIREMENTS="nox[uv]>=2026.10.20 ninja"
TOOLS="$ROOT/build/tools"
# Two cores are shared by everyone on the machine.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

missing=()
for package in $DEBIAN_PACKAGES; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo -n)
  echo "bootstrap: installing Debian's ${missing[*]}"
  { "${sudo[@]}" apt-get update -qq && DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null; } ||
    echo "bootstrap: could not install ${missing[*]}; the steps that need them will fail or go without" >&2
fi

# The tools are the harness's, not the project's: like a build tool's wrapper
# (Gradle's, say), the bootstrap installs them once for the user, under
# ~/.cache/tavrino-torso, one environment for each set of requirements and
# interpreter, and every clone reaches them through build/tools, a link. Where
# that folder cannot be written, build/tools holds them itself.
tools_ready() { [ "$(cat "$1/requirements.txt" 2>/dev/null)" = "$TOOLS_REQUIREMENTS" ] && [ -x "$1/bin/python" ]; }
make_tools() {
  echo "bootstrap: installing $TOOLS_REQUIREMENTS into $1"
  rm -rf "$1"
  # pip goes once it has installed them: the tools are never updated in place.
  # It compiles their bytecode, which a shell told not to write any (as CI's
  # may be) would otherwise compile again at every start of nox.
  if ! { python3 -m venv "$1" && "$1/bin/python" -m pip install $TOOLS_REQUIREMENTS &&
    "$1/bin/python" -m pip uninstall -y -q pip setuptools; } >"$ROOT/build/tools.log" 2>&1; then
    tail -n 20 "$ROOT/build/tools.log" >&2
    echo "bootstrap: could not make the tools environment (python3 with its venv module, and PyPI, are needed)" >&2
    exit 1
  fi
  printf '%s\n' "$TOOLS_REQUIREMENTS" >"$1/requirements.txt"
}
if ! tools_ready "$TOOLS"; then
  mkdir -p "$ROOT/build"
  key=$({ echo "$TOOLS_REQUIREMENTS"; python3 -c 'import sys; print(sys.executable, sys.version)'; } | sha256sum | cut -c1-16)
  shared="${XDG_CACHE_HOME:-$HOME/.cache}/tavrino-torso/tools-$key"
  rm -rf "$TOOLS"
  if mkdir -p "$(dirname "$shared")" 2>/dev/null && [ -w "$(dirname "$shared")" ]; then
    # One clone at a time makes it; the others wait, then find it made.
    exec 9>"$shared.lock"
    ! command -v flock >/dev/null || flock 9
    tools_ready "$shared" || make_tools "$shared"
    exec 9>&-
    ln -sfn "$shared" "$TOOLS"
  else
    make_tools "$TOOLS"
  fi
fi

# pyenv's shims run only its active versions: nox gets the interpreters themselves.
PYTHONS="$ROOT/build/pythons"
mkdir -p "$PYTHONS"
for python in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3.* 2>/dev/null |
  grep -E '/python3\.[0-9]+$' | sort -V); do  # the newest of each version last
  ln -sfn "$python" "$PYTHONS/$(basename "$python")"
done
export PATH="$TOOLS/bin:$PYTHONS:$PATH"
