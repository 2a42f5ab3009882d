"""The project's sessions: `nox -l` lists them, `./tools/test` runs the default ones
side by side (`nox --parallel`), `nox -s NAME` runs one with what it requires.

The C++ trees are CMake's presets (CMakePresets.json). The core is compiled once
per flavour: in the release tree, which installs it into build/release/core, and
in the sanitized tree. The package is built for each Python against that
installed core, without pip's isolation, in a build folder that persists
(build/<wheel tag>), so only the Python boundary is compiled per version and a
rerun compiles only what changed. Requirements come from pyproject.toml.
"""

from __future__ import annotations

import difflib
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import nox

nox.needs_version = ">=2026.10.20"
nox.options.default_venv_backend = "uv|virtualenv"
nox.options.reuse_venv = "yes"
# Under --parallel: each session has build folders and environments of its own,
# but for those that build the package for the default Python in its folder too.
nox.options.allow_parallel = True
nox.options.sessions = ["sanitize", "core", "tests", "cpp", "consumer", "lint"]

ROOT = Path(__file__).resolve().parent
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
PYTHONS = ["3.11", "3.12", "3.13"]
# The Python that runs nox, when supported, gets every optional extra and the
# sanitized pass; the others run the suite with fewer Hypothesis examples.
DEFAULT = next((v for v in PYTHONS if v == "%d.%d" % sys.version_info[:2]), PYTHONS[0])
FEWER_EXAMPLES = {"TTK_TEST_EXAMPLES": os.environ.get("TTK_TEST_EXAMPLES", "25")}
RELEASE = ROOT / "build" / "release"
CORE_PREFIX = RELEASE / "core"
# What the core and the package are built from.
INPUTS = [ROOT / name for name in ("CMakeLists.txt", "CMakePresets.json", "pyproject.toml", "cmake", "include", "src",
                                   "python", "tools/stubgen.cpp")
          if (ROOT / name).exists()]


def requirements(*extras: str, build: bool = True) -> list[str]:
    """The build requirements and those of the extras (following the ones that name this project)."""
    project = PYPROJECT["project"]
    found = list(PYPROJECT["build-system"]["requires"]) if build else []
    for extra in extras:
        for requirement in project["optional-dependencies"][extra]:
            own = re.fullmatch(re.escape(project["name"]) + r"\[(.*)\]", requirement)
            found += requirements(*own[1].split(","), build=False) if own else [requirement]
    return list(dict.fromkeys(found))


def unchanged(stamp: Path, *extra: str) -> bool:
    """Whether the build inputs (names, sizes, times) are as STAMP recorded; records them anew if not.

    uv and pip rebuild a package from a folder on every install; its build folder
    makes that a few seconds of CMake, which a rerun should not pay for nothing.
    """
    files = sorted(f for p in INPUTS for f in ([p] if p.is_file() else p.rglob("*"))
                   if f.is_file() and "__pycache__" not in f.parts)
    state = "\n".join([*extra, *(f"{f} {f.stat().st_size} {f.stat().st_mtime_ns}" for f in files)])
    if stamp.exists() and stamp.read_text() == state:
        return True
    stamp.unlink(missing_ok=True)
    stamp.parent.mkdir(parents=True, exist_ok=True)
    stamp.with_suffix(".next").write_text(state)  # renamed to STAMP by done() once the step succeeds
    return False


def done(stamp: Path) -> None:
    stamp.with_suffix(".next").rename(stamp)


def install_package(session: nox.Session, extra: str) -> None:
    """The package with an extra's requirements, built against the installed core."""
    stamp = Path(session.virtualenv.location) / "package.inputs"
    if unchanged(stamp, extra):
        return
    session.install(*requirements())
    session.install("--no-build-isolation", "-C", f"build-dir={ROOT}/build/{{wheel_tag}}",
                    "-C", f"cmake.define.TTK_CORE_PREFIX={CORE_PREFIX}", "-C", "cmake.define.TTK_CCACHE=ON",
                    f".[{extra}]")
    done(stamp)


def configure(session: nox.Session, preset: str) -> Path:
    """A preset's tree, configured once with this session's Python (CMake reruns itself after)."""
    tree = ROOT / "build" / preset
    if not (tree / "CMakeCache.txt").exists():
        session.run("cmake", "--preset", preset, f"-DPython_EXECUTABLE={session.bin}/python", external=True)
    return tree


def cached(tree: Path, name: str) -> str:
    """A value from a CMake tree's cache."""
    return re.search(rf"^{name}:\w+=(.*)$", (tree / "CMakeCache.txt").read_text(), re.M)[1]


@nox.session(python=DEFAULT)
def core(session: nox.Session) -> None:
    """The core, compiled in the release tree and installed into build/release/core."""
    stamp = CORE_PREFIX / "build.inputs"
    if unchanged(stamp):
        return
    session.install(*requirements())
    configure(session, "release")
    session.run("cmake", "--build", "--preset", "release", "--target", "kinematics_core", external=True)
    session.run("cmake", "--install", str(RELEASE), "--component", "core", "--prefix", str(CORE_PREFIX),
                external=True, silent=True)
    done(stamp)


@nox.session(venv_backend="none", requires=["core"])
def cpp(session: nox.Session) -> None:
    """The C++ tests and benchmarks built in the release tree, and ctest (-- -L core|boundary|realtime)."""
    session.run("cmake", "--build", "--preset", "release")
    session.run("ctest", "--preset", "release", *session.posargs)


@nox.session(python=PYTHONS, requires=["core"])
def tests(session: nox.Session) -> None:
    """The Python suite (pytest, posargs passed on) against the package built for this Python."""
    install_package(session, "dev" if session.python == DEFAULT else "test")
    session.run("pytest", "-p", "no:cacheprovider", *session.posargs,
                env={} if session.python == DEFAULT else FEWER_EXAMPLES)


@nox.session(python=DEFAULT)
def sanitize(session: nox.Session) -> None:
    """The C++ tests and the Python suite built with AddressSanitizer and UndefinedBehaviorSanitizer."""
    session.install(*requirements("dev"))
    tree = configure(session, "sanitize")
    session.run("cmake", "--build", "--preset", "sanitize", external=True)
    session.run("ctest", "--preset", "sanitize", external=True)
    # The interpreter is not sanitized: libasan must be loaded first, and the C++
    # runtime with it, or libasan aborts at the first C++ exception.
    compiler = cached(tree, "CMAKE_CXX_COMPILER")
    preload = [subprocess.check_output([compiler, f"-print-file-name={lib}"], text=True).strip()
               for lib in ("libasan.so", "libstdc++.so")]
    reports = tree / "sanitizer-reports"  # pytest captures stderr, where a report would die
    shutil.rmtree(reports, ignore_errors=True)
    reports.mkdir()
    env = {"LD_PRELOAD": " ".join(preload), "PYTHONMALLOC": "malloc",  # objects where ASan sees them
           "ASAN_OPTIONS": f"detect_leaks=0:log_path={reports}/asan",  # the interpreter frees nothing at exit
           "UBSAN_OPTIONS": f"print_stacktrace=1:halt_on_error=1:log_path={reports}/ubsan",
           "PYTHONPATH": f"{tree}/src/python:{tree}/src/toolkit/package", **FEWER_EXAMPLES}
    # Pure Python, or the same calls through fresh interpreters: the plain suites' work.
    skip = ["tests/python/test_stubs.py", "tests/toolkit/test_typing.py", "tests/toolkit/test_native_typing.py",
            "tests/python/test_docs.py", "tests/toolkit/test_cli.py", "tests/toolkit/test_calibration_cli.py",
            "tests/packaging"]
    try:
        session.run("pytest", "-p", "no:cacheprovider", "-rs", *[f"--ignore={p}" for p in skip], *session.posargs,
                    env=env)
    finally:
        for report in sorted(reports.iterdir()):
            session.error(f"sanitizer report {report}:\n{report.read_text()}")


@nox.session(venv_backend="none", requires=["core"])
def consumer(session: nox.Session) -> None:
    """A downstream CMake project against the installed core and through add_subdirectory."""
    work, expected = ROOT / "build" / "consumer", (ROOT / "tests/consumer/expected_output.txt").read_text()
    eigen = f"-DEigen3_DIR={cached(RELEASE, 'Eigen3_DIR')}"
    launcher = [f"-DCMAKE_CXX_COMPILER_LAUNCHER={shutil.which('ccache')}"] if shutil.which("ccache") else []
    # Configured as the README says: no tests, benchmarks or Python unless asked for.
    shutil.rmtree(work / "core", ignore_errors=True)
    session.run("cmake", "-S", ROOT, "-B", work / "core", "-G", "Ninja", "-DTTK_BUILD_PYTHON=OFF", eigen, silent=True)
    if re.search(r"^(GTest_DIR|TTK_BUILD_(TESTS|BENCH):BOOL=ON)", (work / "core/CMakeCache.txt").read_text(), re.M):
        session.error("the core alone configured its tests or benchmarks without being asked")
    # Compiled for x86-64-v3 where the machine runs it, beside a library using Eigen's defaults.
    help_text = subprocess.run(["/lib64/ld-linux-x86-64.so.2", "--help"], capture_output=True, text=True).stdout
    march = ["-DCONSUMER_MARCH=x86-64-v3"] if "x86-64-v3 (supported" in help_text else []
    readme = (ROOT / "README.md").read_text().split("## From C++", 1)[1].split("\n## ", 1)[0]
    (work / "readme_example.cpp").write_text(re.findall(r"```cpp\n(.*?)```", readme, re.S)[0])
    routes = {"installed": [f"-DCMAKE_PREFIX_PATH={CORE_PREFIX}", f"-DREADME_EXAMPLE={work}/readme_example.cpp"],
              "subdirectory": [f"-DTTK_SOURCE_DIR={ROOT}", "-DCMAKE_BUILD_TYPE=Release", eigen, *launcher]}
    for route, options in routes.items():
        tree = work / route
        session.run("cmake", "-S", ROOT / "tests/consumer", "-B", tree, "-G", "Ninja", *options, *march, silent=True)
        if route == "subdirectory" and re.search(r"^(GTest_DIR|Python_INCLUDE_DIR)", (tree / "CMakeCache.txt").read_text(), re.M):
            session.error("taken in with add_subdirectory, the core looked for GoogleTest or Python")
        session.run("cmake", "--build", tree)
        output = session.run(tree / "torso_consumer", silent=True)
        if output != expected:
            session.error("".join(difflib.unified_diff(expected.splitlines(True), output.splitlines(True))))
        if route == "installed":
            session.run(tree / "readme_example", silent=True)


@nox.session(python=DEFAULT)
def lint(session: nox.Session) -> None:
    """The package's import layering: the import-linter contracts in pyproject.toml."""
    if "importlinter" not in PYPROJECT.get("tool", {}):
        session.skip("pyproject.toml has no import-linter contracts")
    session.install(*requirements("lint", build=False))
    session.run("lint-imports", env={"PYTHONPATH": str(ROOT / "python")})


@nox.session(python=DEFAULT, requires=["core"], default=False, allow_parallel=False)
def docs(session: nox.Session) -> None:
    """Every Python snippet of README.md and docs/, run as written (the C++ one: the consumer session)."""
    install_package(session, "dev")
    session.run("pytest", "-p", "no:cacheprovider", "tests/python/test_docs.py", *session.posargs)


@nox.session(python=PYTHONS, default=False)
def wheels(session: nox.Session) -> None:
    """The sdist and this Python's wheel from it in dist/, repaired to manylinux, installed and tried."""
    session.install(*requirements("release", build=False))
    work = Path(session.create_tmp())
    shutil.rmtree(work / "dist", ignore_errors=True)
    session.run("python", "-m", "build", "--outdir", work / "dist", ROOT)  # the wheel is built from the sdist
    session.run("auditwheel", "repair", "--wheel-dir", work / "repaired", *(work / "dist").glob("*.whl"))
    (repaired,) = (work / "repaired").glob("*.whl")
    (ROOT / "dist").mkdir(exist_ok=True)
    for artefact in (repaired, *(work / "dist").glob("*.tar.gz")):
        shutil.copy(artefact, ROOT / "dist")
    names = zipfile.ZipFile(repaired).namelist()
    needed = ["tavrino_torso_kinematics.pyi", "tavrino_torso_kinematics-stubs/__init__.pyi",
              "tavrino_torso/__init__.py", "tavrino_torso/py.typed"]
    missing = [n for n in needed if n not in names] + [
        what for what, suffix in [("the module", ".so"), ("the command", "entry_points.txt"), ("the licence", "LICENSE")]
        if not any(n.endswith(suffix) for n in names)]
    if missing:
        session.error(f"{repaired.name} lacks {', '.join(missing)}")
    shutil.rmtree(work / "repaired")
    session.install("--force-reinstall", ROOT / "dist" / repaired.name)
    session.chdir(work)  # away from the source tree: only the installed package is found
    session.run("python", "-c", "import tavrino_torso_kinematics, tavrino_torso; print(tavrino_torso_kinematics.__file__)")
    if "No problems found." not in session.run("tavrino-torso", "check", ROOT / "examples/example_torso.toml", silent=True):
        session.error("tavrino-torso check fails on the example torso")


@nox.session(python=DEFAULT, requires=["core"], default=False, allow_parallel=False)
def bench(session: nox.Session) -> None:
    """The benchmarks (bench/README.md), all ratios to a floor timed in the same process."""
    install_package(session, "calibrate")
    session.run("cmake", "--build", "--preset", "release", "--target", "core_bench", "ttk_core_calls",
                "tavrino_torso_kinematics", "tavrino_torso_native", external=True)
    session.run(RELEASE / "bench/core_bench", external=True)
    for script in ("python_entry_bench.py", "toolkit_bench.py"):
        session.run("python", f"bench/{script}", RELEASE)
    session.run("python", "bench/calibration_bench.py")


@nox.session(python=DEFAULT, requires=["core"], default=False, allow_parallel=False)
def demo(session: nox.Session) -> None:
    """The demo on the example torso (examples/demo.py), which also draws its pictures into build/demo."""
    install_package(session, "plot")
    session.run("python", "examples/demo.py", *session.posargs)


@nox.session(python=DEFAULT, requires=["core"], default=False, allow_parallel=False)
def pictures(session: nox.Session) -> None:
    """The pictures under docs/images, drawn again from the example torso."""
    install_package(session, "plot")
    session.run("python", "examples/pictures.py", "--out", "docs/images", *session.posargs)
