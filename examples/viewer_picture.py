"""Takes the README's picture of the browser view (docs/images/viewer.png): the
example torso at a tilted pose in `tavrino_torso.view.Viewer`, photographed by
headless chromium driven by Selenium.

    python examples/viewer_picture.py --out docs/images/viewer.png

Needs viser and selenium (pip install '.[view]' selenium), and a chromium with
its driver (Debian's: apt-get install chromium chromium-driver).
"""

from __future__ import annotations

import argparse
import shutil
import time
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.support.wait import WebDriverWait

from tavrino_torso import Torso
from tavrino_torso.view import Viewer

TILT = {"x": 6.0, "y": -4.0, "z": 4.0, "roll": 8.0, "pitch": -6.0, "yaw": 10.0}  # mm and degrees


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path("build/demo/viewer.png"))
    parser.add_argument("--chromium", default=shutil.which("chromium") or "chromium")
    parser.add_argument("--chromedriver", default=shutil.which("chromedriver") or "chromedriver")
    args = parser.parse_args()
    viewer = Viewer(Torso.example(), port=0)
    try:
        for name, value in TILT.items():
            viewer.sliders[name].value = value
        options = webdriver.ChromeOptions()
        options.binary_location = args.chromium
        for argument in ("--headless=new", "--window-size=1300,640", "--no-sandbox", "--hide-scrollbars"):
            options.add_argument(argument)
        browser = webdriver.Chrome(options=options, service=webdriver.ChromeService(executable_path=args.chromedriver))
        try:
            # The page's own size, whatever the window around it takes.
            browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": 1300, "height": 640, "deviceScaleFactor": 1, "mobile": False})
            browser.get(viewer.url)
            WebDriverWait(browser, 60).until(lambda b: b.execute_script("return document.querySelector('#readout')"))
            # The notice that the browser renders without a graphics card, if any.
            browser.execute_script("const s = document.createElement('style'); s.textContent = arguments[0];"
                                   "document.head.appendChild(s);",
                                   ".mantine-Notifications-root {display: none !important}")
            time.sleep(3)  # until the scene and the labels are drawn
            args.out.parent.mkdir(parents=True, exist_ok=True)
            browser.save_screenshot(str(args.out))
        finally:
            browser.quit()
    finally:
        viewer.stop()
    print(f"Picture: {args.out}")


if __name__ == "__main__":
    main()
