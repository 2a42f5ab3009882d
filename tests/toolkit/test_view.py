"""The browser view: what it shows for a pose (computed without a browser),
trajectories read from CSV, and the command in a real browser (Debian's
chromium, headless, driven by Selenium through Debian's chromium-driver)."""

from __future__ import annotations

import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from tavrino_torso import Torso, pose, quaternion
from tavrino_torso.view import TRAJECTORY_COLUMNS, parts, read_trajectory, readout, solve

from .support import EXAMPLE_FILE

TORSO = Torso.example()
MODEL = TORSO.model()


def test_a_pose_out_of_reach_turns_its_branches_red_and_keeps_the_last_reachable_pose():
    near = solve(TORSO, MODEL, pose(0.004, -0.003, 0.002, roll=0.1), body_yaw=0.3)
    assert near.reachable.all() and np.array_equal(near.pose, pose(0.004, -0.003, 0.002, roll=0.1))
    far = solve(TORSO, MODEL, pose(0.08, 0.0, 0.0), body_yaw=0.0, last=near)
    out = ~far.reachable
    assert 0 < out.sum() < 6 and np.array_equal(far.reach_margins < 0.0, out)
    assert far.pose is near.pose and far.angles is near.angles and far.body_yaw == 0.3
    table = readout(far)
    assert table.count("out of reach") == out.sum() and "holding (N m)" in table and "nan" not in table
    assert f"Out of reach of branch {', '.join(map(str, np.flatnonzero(out)))}" in table
    short = Torso(0.04, 0.03, TORSO.branches)  # home out of every branch's reach: drawn there, arms at 0
    first = solve(short, short.model(), np.eye(4), 0.0)
    assert not first.reachable.any() and np.array_equal(first.angles, np.zeros(6))


@pytest.mark.parametrize("body_yaw", [0.0, 0.7, -2.0])
def test_what_is_drawn_holds_together_with_the_body_turned(body_yaw):
    # Arms of arm length at their motors, rods of rod length from the arm tips to
    # the anchors, the payload's centre of mass moving with the platform, and
    # reach margins whose sign says which branches reach.
    i, k = np.meshgrid(np.arange(-4, 5), np.arange(-2, 3))
    requested = pose(0.015 * i, -0.01 * i, 0.02 * k, roll=0.1 * k, yaw=body_yaw + 0.2 * i).reshape(-1, 4, 4)
    reached = 0
    assert TORSO.payload is not None
    to_centre = np.linalg.norm(np.array([b.anchor for b in TORSO.branches]) - TORSO.payload.centre_of_mass, axis=1)
    for at in requested:
        scene = solve(TORSO, MODEL, at, body_yaw)
        clear = np.abs(scene.reach_margins) > 1e-9
        assert np.array_equal((scene.reach_margins < 0.0)[clear], ~scene.reachable[clear])
        if scene.reachable.all():
            reached += 1
            p = parts(TORSO, scene)
            assert np.allclose(np.linalg.norm(p.tips - p.motors, axis=1), TORSO.motor_arm_length, rtol=1e-12)
            assert np.allclose(np.linalg.norm(p.anchors - p.tips, axis=1), TORSO.rod_length, rtol=1e-9)
            assert p.centre_of_mass is not None
            assert np.allclose(np.linalg.norm(p.anchors - p.centre_of_mass, axis=1), to_centre, rtol=1e-12)
    assert 10 < reached < len(requested)


def write_trajectory(path: Path, poses: np.ndarray, unit: float = 1.0) -> None:
    q = quaternion(poses)
    rows = [[0.1 * n, *(p[:3, 3] / unit), *q[n], *([0.0] * 12), *np.arange(6) + n] for n, p in enumerate(poses)]
    path.write_text(",".join(TRAJECTORY_COLUMNS) + "\n" + "\n".join(",".join(repr(float(v)) for v in row) for row in rows) + "\n")


def test_a_trajectory_is_read_in_its_length_unit_and_bad_lines_are_named(tmp_path):
    poses = pose(np.linspace(0.0, 0.01, 5), 0.002, -0.001, roll=np.linspace(0.0, 0.2, 5), yaw=0.1)
    write_trajectory(tmp_path / "t.csv", poses, unit=1e-3)
    trajectory = read_trajectory(tmp_path / "t.csv", "mm")
    assert np.allclose(trajectory.poses, poses, atol=1e-15) and np.allclose(trajectory.time, 0.1 * np.arange(5))
    assert trajectory.torques[3].tolist() == [3, 4, 5, 6, 7, 8] and trajectory.at(0.25) == 2
    good = (tmp_path / "t.csv").read_text().splitlines()
    for lines, message in [
        (["time,x,y,z"] + good[1:], "line 1: the header must be time,x,y,z,qw,qx,qy,qz,q0,"),
        (good[:2] + [good[2].replace("0.1,", "x,", 1)], "line 3, column time: not a finite number: 'x'"),
        (good[:2] + [good[2] + ",1"], "line 3: 27 values, not 26"),
        (good[:3] + [good[2]], "line 4: time must increase"),
        (good[:1], "no samples"),
    ]:
        (tmp_path / "bad.csv").write_text("\n".join(lines) + "\n")
        with pytest.raises(ValueError, match=f"^{re.escape(message)}"):
            read_trajectory(tmp_path / "bad.csv")


# In a real browser ------------------------------------------------------------------

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")


def angles_in(text: str) -> list[str]:
    return re.findall(r"^\s*\d\s+(\S+)", text, flags=re.MULTILINE)


def torso_pixels(png: bytes) -> tuple[float, float]:
    """The share of the picture's pixels that show the torso (strong colours or
    near black, unlike the white background and the grey grid), and the
    height of the box around them as a share of the picture's."""
    import io

    from PIL import Image

    image = np.asarray(Image.open(io.BytesIO(png)).convert("RGB")).astype(int)
    ink = (image.max(axis=2) - image.min(axis=2) > 60) | (image.max(axis=2) < 60)
    rows = np.flatnonzero(ink.any(axis=1))
    return float(ink.mean()), (rows[-1] - rows[0] + 1) / ink.shape[0] if rows.size else 0.0


@pytest.mark.skipif(CHROMIUM is None or CHROMEDRIVER is None, reason="needs Debian's chromium and chromium-driver")
def test_the_view_in_a_browser_draws_the_torso_and_follows_the_sliders(tmp_path):
    pytest.importorskip("viser")
    pytest.importorskip("PIL")
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.wait import WebDriverWait

    poses = pose(0.0, np.linspace(0.0, 0.01, 11), 0.003, pitch=np.linspace(0.0, 0.1, 11))
    write_trajectory(tmp_path / "t.csv", poses)
    # With Python's own Ctrl-C handler: a process started in the background of
    # a shell, and so its children, begin with Ctrl-C ignored.
    start = ("import signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
             "from tavrino_torso.cli import main; sys.exit(main())")
    command = [sys.executable, "-c", start, "view", str(EXAMPLE_FILE), "--port", "0", "--trajectory", str(tmp_path / "t.csv")]
    server = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = server.stdout.readline() if server.stdout else ""
        url = re.search(r"at (http://\S+) \(Ctrl-C stops\)", first)
        assert url, first + (server.stderr.read() if server.stderr and server.poll() is not None else "")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        # Without a graphics card (software WebGL), and as root in a container (no sandbox).
        for argument in ("--headless=new", "--use-gl=angle", "--use-angle=swiftshader",
                         "--no-sandbox", "--disable-dev-shm-usage"):
            options.add_argument(argument)
        browser = webdriver.Chrome(options=options, service=webdriver.ChromeService(executable_path=CHROMEDRIVER))
        try:
            browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": 1200, "height": 800, "deviceScaleFactor": 1, "mobile": False})

            def readout_text() -> str:
                return str(browser.execute_script("return document.querySelector('#readout')?.innerText ?? ''"))

            def until(condition, seconds: float) -> None:
                WebDriverWait(browser, seconds, poll_frequency=0.2).until(lambda _: condition())

            def add_style(css: str) -> None:
                browser.execute_script("const s = document.createElement('style'); s.textContent = arguments[0];"
                                       "document.head.appendChild(s);", css)

            browser.get(url.group(1))
            until(readout_text, 60)
            at_home = readout_text()
            assert angles_in(at_home) == ["+167.87", "+12.13"] * 3 and "holding (N m)" in at_home  # with a payload
            # Only the 3D view: the panel and any notice hidden.
            add_style("body * {visibility: hidden !important} canvas {visibility: visible !important}")
            share, height = 0.0, 0.0
            for _ in range(60):  # until the scene has arrived and is drawn
                share, height = torso_pixels(browser.get_screenshot_as_png())
                if share > 0.02 and height > 0.5:
                    break
                time.sleep(0.5)
            assert share > 0.02 and height > 0.5, (share, height)  # drawn, and filling the view's height
            add_style("body * {visibility: visible !important}")
            sliders = browser.find_elements("css selector", '[role="slider"]')
            browser.execute_script("arguments[0].focus()", sliders[0])  # x
            webdriver.ActionChains(browser).send_keys(Keys.ARROW_RIGHT * 5).perform()
            until(lambda: readout_text() != at_home, 20)
            assert angles_in(readout_text())[0] != "+167.87"
            browser.execute_script("arguments[0].focus()", sliders[7])  # the trajectory's time, to its end
            webdriver.ActionChains(browser).send_keys(Keys.END).perform()
            last = MODEL.inverse_kinematics(poses[-1])
            expected = [f"{np.degrees(a):+.2f}" for a in last]
            until(lambda: expected[1] in readout_text(), 20)
            assert angles_in(readout_text()) == expected
        finally:
            browser.quit()
        server.send_signal(signal.SIGINT)  # Ctrl-C
        out, err = server.communicate(timeout=30)
        assert server.returncode == 0, err
        assert "Stopped." in out and "Traceback" not in err
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
