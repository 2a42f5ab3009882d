"""Takes the README's picture of the browser view (docs/images/viewer.png): the
example torso at a tilted pose in `tavrino_torso.view.Viewer`, photographed by
headless chromium driven by Playwright.

    python examples/viewer_picture.py --out docs/images/viewer.png

Needs viser and playwright (pip install '.[view]' playwright) and a chromium
(Debian's: apt-get install chromium).
"""

from __future__ import annotations

import argparse
import shutil
from pathlib import Path

from playwright.sync_api import sync_playwright

from tavrino_torso import Torso
from tavrino_torso.view import Viewer

TILT = {"x": 6.0, "y": -4.0, "z": 4.0, "roll": 8.0, "pitch": -6.0, "yaw": 10.0}  # mm and degrees


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path("build/demo/viewer.png"))
    parser.add_argument("--chromium", default=shutil.which("chromium") or "chromium")
    args = parser.parse_args()
    viewer = Viewer(Torso.example(), port=0)
    try:
        for name, value in TILT.items():
            viewer.sliders[name].value = value
        with sync_playwright() as p:
            browser = p.chromium.launch(executable_path=args.chromium, headless=True)
            page = browser.new_page(viewport={"width": 1300, "height": 640})
            page.goto(viewer.url)
            page.wait_for_selector("#readout")
            # The notice that the browser renders without a graphics card, if any.
            page.add_style_tag(content=".mantine-Notifications-root {display: none !important}")
            page.wait_for_timeout(3000)  # until the scene and the labels are drawn
            args.out.parent.mkdir(parents=True, exist_ok=True)
            page.screenshot(path=str(args.out))
            browser.close()
    finally:
        viewer.stop()
    print(f"Picture: {args.out}")


if __name__ == "__main__":
    main()
