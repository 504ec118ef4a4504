"""The window as docs/window.png shows it, taken as the e2e scenarios take
theirs: a private Xvfb (96 DPI) with openbox, the program under the virtual
meter with "COM1" and "COM2" present, the window with its frame and caption.

    python3 -m kapirel_e2e.screenshot --meter METER EXECUTABLE OUTPUT.png    (tools/screenshot runs it)
"""

import argparse
import os
import sys
import tempfile
import time

from kapirel_e2e import xsession
from kapirel_e2e.checks import Failure
from kapirel_e2e.harness import Session, Tools

# Time for the window manager to place and frame the window and the program to paint it.
SETTLE_S = 1.5


def take(tools, out, work):
    # The meter starts the program only once its testbed covers the ports and umockdev's preload is in place.
    with Session(tools, work, "screenshot") as session:
        run = session.start(com1="present", com2="present")
        window = run.main_window()
        time.sleep(SETTLE_S)
        return run.screenshot(window, out)  # leaving the session ends the program with SIGTERM, its normal end


def main():
    options = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    options.add_argument("--meter", required=True)
    options.add_argument("exe")
    options.add_argument("out")
    args = options.parse_args()
    exe, out = os.path.abspath(args.exe), os.path.abspath(args.out)
    if not os.access(exe, os.X_OK):
        raise Failure("%s is not an executable" % exe)
    if not os.access(args.meter, os.X_OK):
        raise Failure("no virtual meter at %s: the program never runs on the machine's own ports" % args.meter)
    os.makedirs(os.path.dirname(out), exist_ok=True)
    # The program's own log (NAMERENO.TXT) lands in the scratch directory, never in the source tree.
    with tempfile.TemporaryDirectory(prefix="kapirel-screenshot-") as work:
        state = os.path.join(work, "xsession.json")
        xsession.start(state)
        try:
            tools = Tools(exe, os.path.abspath(args.meter), xsession.display_of(state))
            take(tools, out, work)
        finally:
            xsession.stop(state, quiet=True)
    print("screenshot: saved %s" % out)


if __name__ == "__main__":
    try:
        main()
    except Failure as problem:
        print("screenshot: %s" % problem, file=sys.stderr)
        sys.exit(1)
