"""Shows a long command's progress without its noise: progress.py LOG LABEL [PATTERN].

Reads the command's output on standard input and keeps all of it in LOG. Lines
matching PATTERN (a regular expression; by default the build steps that Ninja,
Make and scikit-build-core announce) are echoed as they come; after every ten
seconds without one, a line says that LABEL is still going. The caller prints the
end of LOG when the command fails, so nothing is lost by the filtering.
"""

from __future__ import annotations

import os
import re
import select
import sys
import time

DEFAULT_PATTERN = r"^\s*(\[\s*\d+(/\d+|%)\]|\*\*\* )"
QUIET_SECONDS = 10.0


def main() -> int:
    log_path, label = sys.argv[1], sys.argv[2]
    shown = re.compile(sys.argv[3] if len(sys.argv) > 3 and sys.argv[3] else DEFAULT_PATTERN)
    source = sys.stdin.buffer.raw
    started = last_shown = time.monotonic()
    pending = b""
    with open(log_path, "wb") as log:
        while True:
            ready, _, _ = select.select([source], [], [], QUIET_SECONDS)
            now = time.monotonic()
            if not ready:
                if now - last_shown >= QUIET_SECONDS:
                    print(f"    ... still {label} ({now - started:.0f} s)", flush=True)
                    last_shown = now
                continue
            chunk = os.read(source.fileno(), 65536)
            if not chunk:
                break
            log.write(chunk)
            log.flush()
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for raw in lines:
                line = raw.decode("utf-8", "replace").rstrip()
                if shown.search(line):
                    print("    " + line.strip(), flush=True)
                    last_shown = now
        if pending and shown.search(pending.decode("utf-8", "replace")):
            print("    " + pending.decode("utf-8", "replace").strip(), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
