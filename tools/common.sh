# Set-up shared by the project's commands: a virtual environment in .venv with the
# module installed, and GoogleTest for the C++ tests. Safe to run again: each step
# is skipped when already done.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
PY="$VENV/bin/python"

ensure_venv() {
  if [ ! -x "$PY" ]; then
    python3 -m venv "$VENV"
    "$PY" -m pip install -q --upgrade pip
  fi
}

# Builds and installs the module (and, with an extra such as "dev", what it needs).
install_module() {
  local extra="${1:-}"
  "$PY" -m pip install -q "$ROOT${extra:+[$extra]}"
}

ensure_gtest() {
  if [ -f /usr/include/gtest/gtest.h ]; then return; fi
  if [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null; then
    echo "GoogleTest is missing: install Debian's libgtest-dev" >&2
    return 1
  fi
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgtest-dev >/dev/null
}
