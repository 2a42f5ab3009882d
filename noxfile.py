"""The project's sessions: `nox -l` lists them, `nox -s NAME` runs one with those it
requires, `./tools/test` runs the default ones side by side (`nox --parallel`).

The C++ trees are CMake's presets. The core is compiled once per flavour: in the
release tree, which installs it into build/release/core, and in the sanitized
tree. The package is built for each Python against that installed core, without
pip's isolation, in a build folder that persists (build/<wheel tag>): only the
Python boundary is compiled per version, and a rerun compiles what changed.
"""

from __future__ import annotations

import collections
import contextlib
import difflib
import fcntl
import hashlib
import os
import re
import shutil
import subprocess
import sys
from collections.abc import Callable, Iterator
from pathlib import Path

import nox

nox.needs_version = ">=2026.10.20"
nox.options.default_venv_backend = "uv|virtualenv"
nox.options.reuse_venv = "yes"
nox.options.allow_parallel = True  # each session builds in folders of its own, but see allow_parallel=False
nox.options.sessions = ["sanitize", "core", "tests", "cpp", "consumer", "lint"]

ROOT = Path(__file__).resolve().parent
# The environments are installed without bytecode, so an interpreter told not to
# write any compiles numpy, scipy and the rest again at every start: seconds for
# each of the many interpreters the tests start.
os.environ.pop("PYTHONDONTWRITEBYTECODE", None)
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
PYTHONS = ["3.11", "3.12", "3.13"]
# The Python that runs nox has every extra; the others run fewer Hypothesis examples.
DEFAULT = next((v for v in PYTHONS if v == "%d.%d" % sys.version_info[:2]), PYTHONS[0])
FEWER_EXAMPLES = {"TTK_TEST_EXAMPLES": os.environ.get("TTK_TEST_EXAMPLES", "10")}
# And they leave out the tests marked `once`, whose outcome the interpreter and the build do not change.
NOT_ONCE = ["-m", "not once"]
RELEASE, SANITIZE, CORE = ROOT / "build/release", ROOT / "build/sanitize", ROOT / "build/release/core"
# Eigen from the system where it is (Debian's libeigen3-dev, which the bootstrap
# installs): one copy that every tree and build compiles against, found at the
# same path, so that ccache can give one tree's objects to another, and none in
# the environments. Elsewhere, PyPI's cmeel-eigen in each environment.
SYSTEM_EIGEN = next((d for d in ("/usr/share/eigen3/cmake", "/usr/lib/cmake/eigen3", "/usr/local/share/eigen3/cmake")
                     if Path(d, "Eigen3Config.cmake").is_file()), None)
INPUTS = ["CMakeLists.txt", "CMakePresets.json", "pyproject.toml", "cmake", "include", "src", "python", "tools/stubgen.cpp"]


def requirements(*extras: str, build: bool = True) -> list[str]:
    """The build requirements, and those of the extras (following those that name this project)."""
    project = PYPROJECT["project"]
    found = list(PYPROJECT["build-system"]["requires"]) if build else []
    for requirement in (r for extra in extras for r in project["optional-dependencies"][extra]):
        own = re.fullmatch(re.escape(project["name"]) + r"\[(.*)\]", requirement)
        found += requirements(*own[1].split(","), build=False) if own else [requirement]
    return [r for r in dict.fromkeys(found) if not (SYSTEM_EIGEN and r.startswith("cmeel-eigen"))]


def unless_unchanged(stamp: Path, step: Callable[[], object], *key: str) -> None:
    """STEP, unless the build inputs are as at its last success: pip and uv build a
    package from a folder at every install, seconds of CMake that a rerun need not pay."""
    files = sorted(f for name in INPUTS for f in [ROOT / name, *(ROOT / name).rglob("*")] if f.is_file())
    state = "\n".join([*key, *(f"{f} {f.stat().st_size} {f.stat().st_mtime_ns}" for f in files
                                if "__pycache__" not in f.parts)])
    if not stamp.exists() or stamp.read_text() != state:
        stamp.unlink(missing_ok=True)
        step()
        stamp.write_text(state)


def install_package(session: nox.Session, extra: str) -> None:
    """The package, with an extra's requirements, built against the installed core."""
    def build() -> None:
        install(session, *requirements(*extra.split(",")))
        session.install("--no-build-isolation", "-C", f"build-dir={ROOT}/build/{{wheel_tag}}",
                        "-C", f"cmake.define.TTK_CORE_PREFIX={CORE}", "-C", "cmake.define.TTK_CCACHE=ON",
                        *(["-C", f"cmake.define.Eigen3_DIR={SYSTEM_EIGEN}"] if SYSTEM_EIGEN else []), f".[{extra}]",
                        # The build backend runs again only when a source changes: its bytecode would be kept for nothing.
                        env={**leaving_out_unused(), "PYTHONDONTWRITEBYTECODE": "1"})
    unless_unchanged(Path(session.virtualenv.location) / "package.inputs", build, extra)


def configure(session: nox.Session, preset: str) -> None:
    """A preset's tree, configured with this session's Python when it is new or
    the presets have changed since (its builds rerun CMake as needed otherwise)."""
    cache = ROOT / "build" / preset / "CMakeCache.txt"
    if not cache.exists() or cache.stat().st_mtime < (ROOT / "CMakePresets.json").stat().st_mtime:
        session.run("cmake", "--preset", preset, f"-DPython_EXECUTABLE={session.bin}/python",
                    *([f"-DEigen3_DIR={SYSTEM_EIGEN}"] if SYSTEM_EIGEN else []), external=True)


# The C++ test programs are compiled alike in the release and the sanitized tree
# (tests/cpp/CMakeLists.txt). With paths taken relative to the checkout, their
# commands are the same in both, and ccache compiles them once for the two. (The
# core's own objects keep absolute paths: they are what the downstream project's
# add_subdirectory build is given again.)
SHARED_TEST_OBJECTS = {"CCACHE_BASEDIR": str(ROOT)}


@contextlib.contextmanager
def one_at_a_time(session: nox.Session, name: str, waiting: str | None) -> Iterator[bool]:
    """Held by one session at a time, for the work that sessions side by side
    would otherwise do twice. With WAITING None, a session that finds it held
    goes on without it (False)."""
    (ROOT / "build").mkdir(exist_ok=True)
    with open(ROOT / f"build/{name}.lock", "w") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            if waiting is None:
                yield False
                return
            session.log(f"waiting for {waiting}")
            fcntl.flock(lock, fcntl.LOCK_EX)
        yield True


def test_objects(session: nox.Session) -> contextlib.AbstractContextManager[bool]:
    """Held while a tree compiles the test programs: ccache does not know what
    another build is compiling, so the second tree waits for the first one's
    objects rather than compiling them again beside it."""
    return one_at_a_time(session, "test-objects", "the other tree's test programs")


# What the tests take from MuJoCo is its physics: not its viewer (mujoco-studio)
# nor the window and OpenGL bindings, which `import mujoco` does without. uv
# leaves them out (47 MB); pip, where uv is missing, installs them.
UNUSED = ["mujoco-studio", "glfw", "pyopengl"]


def leaving_out_unused() -> dict[str, str]:
    """The environment that has uv leave UNUSED out of every install."""
    excludes = ROOT / "build/unused-requirements.txt"
    if not excludes.is_file() or excludes.read_text().split() != UNUSED:
        excludes.parent.mkdir(exist_ok=True)
        excludes.write_text("\n".join(UNUSED) + "\n")
    return {"UV_EXCLUDE": str(excludes)}


def install(session: nox.Session, *requirements: str) -> None:
    """REQUIREMENTS into the session's environment. Installs that start together
    into an empty cache each download and unpack a package that they share, and
    each environment then holds a copy of its own; one at a time, the later ones
    link the first one's files."""
    with one_at_a_time(session, "install", "another session's install"):
        session.install(*requirements, env=leaving_out_unused())
        link_identical_files(Path(session.virtualenv.location).parent)


# Bytecode that the importer writes itself: its name is the module's, then the
# interpreter's tag. (pytest's assertion-rewritten modules have names of their
# own, and keep the path they were compiled at.)
BYTECODE = re.compile(r"[^.]+\.cpython-\d+(\.opt-[12])?\.pyc")


def link_identical_files(environments: Path, bytecode_only: bool = False) -> None:
    """One copy of each file that the environments hold alike. uv links an
    environment's files to its cache, but each wheel has a cache entry of its own:
    numpy's wheels for two Pythons hold the same OpenBLAS and the same Python
    files, and each environment had a copy (60 MB in all). Bytecode is alike when
    one Python compiled it from one source file (linked as above), with the same
    header: it differs only in the path it records, which the importer replaces
    with the module's own when it loads it. Each environment of the default Python
    wrote its own (30 MB in all). Installers and the importer replace a file
    rather than write into it, so a file linked here is never changed under
    another environment. A package that another session installs meanwhile (the
    project's own, outside the lock) may remove a file under this walk: it is
    left as it is."""
    # Files by size, bytecode by its source file and name; each by inode. The
    # walk reads folders (which give each entry's inode) and looks at a file's
    # size only where it may link files: a run after the installs costs little.
    found: dict[object, dict[int, Path]] = collections.defaultdict(dict)
    folders = [str(site) for site in environments.glob("*/lib/python3*/site-packages")]
    while folders:
        try:
            with os.scandir(folders.pop()) as scan:
                entries = {entry.name: entry for entry in scan}
        except OSError:
            continue
        for name, entry in entries.items():
            with contextlib.suppress(OSError):
                if name == "__pycache__" and entry.is_dir(follow_symlinks=False):
                    with os.scandir(entry.path) as compiled:
                        for pyc in compiled:
                            source = entries.get(pyc.name.split(".")[0] + ".py")
                            if BYTECODE.fullmatch(pyc.name) and source and source.is_file(follow_symlinks=False):
                                found[source.inode(), pyc.name][pyc.inode()] = Path(pyc.path)
                elif entry.is_dir(follow_symlinks=False):
                    folders.append(entry.path)
                elif not bytecode_only and entry.is_file(follow_symlinks=False) and not name.endswith(".linking"):
                    if size := entry.stat(follow_symlinks=False).st_size:
                        found[size][entry.inode()] = Path(entry.path)
    for key, files in found.items():
        alike: dict[tuple[int, bytes], list[tuple[int, Path]]] = collections.defaultdict(list)
        for path in files.values() if len(files) > 1 else ():
            with contextlib.suppress(OSError), path.open("rb") as file:
                status = os.fstat(file.fileno())
                # Bytecode's header: the magic number, the flags, and the source's time and size.
                content = file.read(16) if isinstance(key, tuple) else hashlib.blake2b(file.read()).digest()
                alike[status.st_mode, content].append((status.st_nlink, path))
        for paths in alike.values():
            # The copy with the most links stays: the one that uv's cache shares.
            (_, kept), *others = sorted(paths, key=lambda linked: -linked[0])
            for _, other in others:
                with contextlib.suppress(OSError):
                    linked = other.with_name(other.name + ".linking")
                    linked.unlink(missing_ok=True)
                    os.link(kept, linked)
                    os.replace(linked, other)


def share_bytecode(session: nox.Session) -> None:
    """The bytecode that this session's interpreters wrote, linked across the
    environments as an install's files are. While another session installs, it
    is left to that one, which links every file as it ends, this bytecode too:
    a session that ends does not wait for an install."""
    with one_at_a_time(session, "install", None) as holding:
        if holding:
            link_identical_files(Path(session.env_dir).parent, bytecode_only=True)


def cached(tree: Path, name: str) -> str:
    return re.search(rf"^{name}:\w+=(.*)$", (tree / "CMakeCache.txt").read_text(), re.M)[1]


@nox.session(python=DEFAULT)
def core(session: nox.Session) -> None:
    """The core (and the torso file reader), compiled in the release tree and installed into build/release/core."""
    def build() -> None:
        install(session, *requirements(), "numpy")  # numpy: the Python torso reader, which ctest compares with C++'s
        configure(session, "release")
        session.run("cmake", "--build", "--preset", "release", "--target", "cpp_package", external=True)
        session.run("cmake", "--install", RELEASE, "--component", "core", "--prefix", CORE, external=True, silent=True)
    unless_unchanged(CORE / "build.inputs", build)


@nox.session(venv_backend="none", requires=["core"])
def cpp(session: nox.Session) -> None:
    """The C++ tests and benchmarks, built in the release tree; ctest (-- -L core|boundary|realtime|docs)."""
    with test_objects(session):  # the test programs first, which the sanitized tree waits for
        session.run("cmake", "--build", "--preset", "release", "--target", "tests/cpp/all", env=SHARED_TEST_OBJECTS)
    session.run("cmake", "--build", "--preset", "release", env=SHARED_TEST_OBJECTS)
    session.run("ctest", "--preset", "release", *session.posargs)
    share_bytecode(session)  # the boundary tests run the core session's Python


@nox.session(python=PYTHONS, requires=["core"])
def tests(session: nox.Session) -> None:
    """The Python suite (pytest; -- passes options on) against the package built for this Python."""
    # The other Pythons test what depends on the interpreter: the compiled
    # modules and the package on numpy. The optional parts, pure Python on
    # scipy, toppra, matplotlib, viser and MuJoCo, are tested on the default one.
    install_package(session, "dev" if session.python == DEFAULT else "test")
    # The default Python's session is the longest: its tests go to every core
    # (pytest-xdist), each worker taking the next test as it is free.
    default = session.python == DEFAULT
    spread = ["-n", "auto", "--dist", "worksteal", "--durations=10"]
    session.run("pytest", "-p", "no:cacheprovider", *(spread if default else NOT_ONCE), *session.posargs,
                env={} if default else FEWER_EXAMPLES)
    share_bytecode(session)


@nox.session(python=DEFAULT)
def sanitize(session: nox.Session) -> None:
    """The C++ tests and the Python suite on modules built with ASan and UBSan."""
    unless_unchanged(Path(session.virtualenv.location) / "requirements.inputs",
                     lambda: install(session, *requirements("test")), "test")
    configure(session, "sanitize")
    # The instrumented code first: meanwhile the release tree compiles the test
    # programs, which this tree then takes from ccache.
    session.run("cmake", "--build", "--preset", "sanitize", "--target", "tavrino_torso_kinematics",
                "tavrino_torso_native", *(["torso_file"] if (SANITIZE / "src/torso_file").is_dir() else []),
                env=SHARED_TEST_OBJECTS, external=True)
    with test_objects(session):
        session.run("cmake", "--build", "--preset", "sanitize", env=SHARED_TEST_OBJECTS, external=True)
    session.run("ctest", "--preset", "sanitize", external=True)
    # The interpreter is not sanitized: libasan must come first, and the C++
    # runtime with it, or libasan aborts at the first C++ exception.
    preload = [subprocess.check_output([cached(SANITIZE, "CMAKE_CXX_COMPILER"), f"-print-file-name={library}"],
                                       text=True).strip() for library in ("libasan.so", "libstdc++.so")]
    reports = SANITIZE / "sanitizer-reports"  # pytest captures standard error, and a report with it
    shutil.rmtree(reports, ignore_errors=True)
    reports.mkdir()
    env = {"LD_PRELOAD": " ".join(preload), "PYTHONMALLOC": "malloc",  # objects from the allocator ASan watches
           "ASAN_OPTIONS": f"detect_leaks=0:log_path={reports}/asan",  # the interpreter frees nothing at exit
           "UBSAN_OPTIONS": f"print_stacktrace=1:halt_on_error=1:log_path={reports}/ubsan",
           "PYTHONPATH": f"{SANITIZE}/src/python:{SANITIZE}/src/toolkit/package", **FEWER_EXAMPLES}
    # Pure Python (the torso file reader, calibration, planning, pictures), or the calls that
    # test_native_model makes, made again through fresh interpreters, scipy or toppra: the
    # plain suites' work. So are the viewer's and the simulator's, which would run a browser
    # and MuJoCo with ASan preloaded.
    plain = ["python/test_stubs.py", "toolkit/test_typing.py", "toolkit/test_native_typing.py", "toolkit/test_cli.py",
             "toolkit/test_calibration_cli.py", "toolkit/test_view.py", "toolkit/test_mjcf.py",
             "toolkit/test_torso_file.py", "toolkit/test_calibration.py", "toolkit/test_motion.py",
             "toolkit/test_pictures.py"]
    try:
        session.run("pytest", "-p", "no:cacheprovider", "-rs", *NOT_ONCE, *(f"--ignore=tests/{p}" for p in plain),
                    *session.posargs, env=env)
    finally:
        for report in sorted(reports.iterdir()):
            session.error(f"{report}:\n{report.read_text()}")
    share_bytecode(session)


@nox.session(venv_backend="none", requires=["core"])
def consumer(session: nox.Session) -> None:
    """A downstream CMake project against the installed core, and taking it in with add_subdirectory."""
    work, eigen = ROOT / "build/consumer", f"-DEigen3_DIR={cached(RELEASE, 'Eigen3_DIR')}"
    # The core alone, configured as the README says: no tests, benchmarks or Python unless asked.
    shutil.rmtree(work / "core", ignore_errors=True)
    session.run("cmake", "-S", ROOT, "-B", work / "core", "-G", "Ninja", "-DTTK_BUILD_PYTHON=OFF", eigen, silent=True)
    if re.search(r"^(GTest_DIR|TTK_BUILD_(TESTS|BENCH):BOOL=ON)", (work / "core/CMakeCache.txt").read_text(), re.M):
        session.error("the core alone configured its tests or benchmarks unasked")
    # Compiled for x86-64-v3 where the machine runs it, linking a library that uses Eigen's defaults.
    help_text = subprocess.run(["/lib64/ld-linux-x86-64.so.2", "--help"], capture_output=True, text=True).stdout
    options = ["-G", "Ninja", *(["-DCONSUMER_MARCH=x86-64-v3"] if "x86-64-v3 (supported" in help_text else [])]
    readme = (ROOT / "README.md").read_text().split("## From C++", 1)[1]
    (work / "readme_example.cpp").write_text(re.search(r"```cpp\n(.*?)```", readme, re.S)[1])
    launcher = [f"-DCMAKE_CXX_COMPILER_LAUNCHER={shutil.which('ccache')}"] if shutil.which("ccache") else []
    routes = {"installed": [f"-DCMAKE_PREFIX_PATH={CORE}", f"-DREADME_EXAMPLE={work}/readme_example.cpp"],
              "subdirectory": [f"-DTTK_SOURCE_DIR={ROOT}", "-DCMAKE_BUILD_TYPE=Release", eigen, *launcher]}
    for route, route_options in routes.items():
        tree = work / route
        session.run("cmake", "-S", ROOT / "tests/consumer", "-B", tree, *options, *route_options, silent=True)
        if route == "subdirectory" and re.search(r"^(GTest|Python)_", (tree / "CMakeCache.txt").read_text(), re.M):
            session.error("taken in with add_subdirectory, the core looked for GoogleTest or Python")
        session.run("cmake", "--build", tree)
        output = session.run(tree / "torso_consumer", silent=True)
        if output != (expected := (ROOT / "tests/consumer/expected_output.txt").read_text()):
            session.error("".join(difflib.unified_diff(expected.splitlines(True), output.splitlines(True))))
        if route == "installed":  # from the checkout, as the README runs it: it reads examples/
            with session.chdir(ROOT):
                session.run(tree / "readme_example", silent=True)


@nox.session(python=DEFAULT)
def lint(session: nox.Session) -> None:
    """The package's import layers, as the import-linter contracts in pyproject.toml state them."""
    install(session, *requirements("lint", build=False))
    session.run("lint-imports", env={"PYTHONPATH": str(ROOT / "python")})


@nox.session(python=DEFAULT, requires=["core"], default=False, allow_parallel=False)
def docs(session: nox.Session) -> None:
    """Every Python snippet of README.md and docs/, run as written (the C++ one: session consumer)."""
    install_package(session, "dev")
    session.run("pytest", "-p", "no:cacheprovider", "tests/python/test_docs.py", *session.posargs)
    share_bytecode(session)


@nox.session(python=PYTHONS, default=False)
def wheels(session: nox.Session) -> None:
    """The sdist and this Python's wheel from it, repaired to manylinux, into dist/; installed and tried."""
    session.install(*requirements("release", build=False))
    work = Path(session.create_tmp())
    shutil.rmtree(work / "dist", ignore_errors=True)
    session.run("python", "-m", "build", "--outdir", work / "dist", ROOT)  # the wheel is built from the sdist
    session.run("auditwheel", "repair", "--wheel-dir", ROOT / "dist", *(work / "dist").glob("*.whl"))
    shutil.copytree(work / "dist", ROOT / "dist", ignore=shutil.ignore_patterns("*.whl"), dirs_exist_ok=True)
    tag = "cp" + session.python.replace(".", "")
    session.install("--force-reinstall", *(ROOT / "dist").glob(f"*-{tag}-{tag}-*manylinux*.whl"))
    session.chdir(work)  # away from the source tree, where only the installed package is found
    session.run("python", "-c", "import tavrino_torso, tavrino_torso_kinematics, importlib.metadata as m; missing = {"
                "'tavrino_torso_kinematics.pyi', 'tavrino_torso_kinematics-stubs/__init__.pyi', 'tavrino_torso/py.typed'}"
                " - {str(f) for f in m.files('tavrino_torso_kinematics')}; assert not missing, missing")
    if "No problems found." not in session.run("tavrino-torso", "check", ROOT / "examples/example_torso.toml",
                                               silent=True):
        session.error("tavrino-torso check fails on the example torso")


@nox.session(python=DEFAULT, requires=["core"], default=False, allow_parallel=False)
def bench(session: nox.Session) -> None:
    """The benchmarks (bench/README.md): ratios to floors timed in the same process; nothing asserted."""
    install_package(session, "calibrate,motion")
    session.run("cmake", "--build", "--preset", "release", "--target", "core_bench", "ttk_core_calls",
                "tavrino_torso_kinematics", "tavrino_torso_native", external=True)
    session.run(RELEASE / "bench/core_bench", external=True)
    for script in ("python_entry_bench.py", "toolkit_bench.py"):
        session.run("python", f"bench/{script}", RELEASE)
    session.run("python", "bench/calibration_bench.py")
    session.run("python", "bench/motion_bench.py")
    share_bytecode(session)


@nox.session(python=DEFAULT, requires=["core"], default=False, allow_parallel=False)
def demo(session: nox.Session) -> None:
    """The demo on the example torso (examples/demo.py), which draws its pictures into build/demo."""
    install_package(session, "plot,motion")
    session.run("python", "examples/demo.py", *session.posargs)
    share_bytecode(session)


@nox.session(python=DEFAULT, requires=["core"], default=False, allow_parallel=False)
def pictures(session: nox.Session) -> None:
    """The pictures under docs/images, drawn again from the example torso."""
    install_package(session, "plot,motion")
    session.run("python", "examples/pictures.py", "--out", "docs/images", *session.posargs)
    share_bytecode(session)
