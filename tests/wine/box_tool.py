#!/usr/bin/env python3
"""The Wine box from the command line; every command runs inside a fresh box.

    box_tool.py --prefix DIR --preload LIB --work DIR [--xsession STATE] prefix
        creates the suite's prefix; prints its creation time and size
    box_tool.py ... [--com1 PORT] [--com2 PORT] run EXE [ARGS...]
        runs a Windows program with the ports mapped; its output and the
        meter's record land in the work directory
"""

import argparse
import json
import sys

import winebox
from kapirel_e2e import xsession


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--preload", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--xsession")
    parser.add_argument("--com1")
    parser.add_argument("--com2")
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("command", choices=["prefix", "run"])
    parser.add_argument("argv", nargs=argparse.REMAINDER)
    args = parser.parse_args()

    winebox.enter()
    display = xsession.display_of(args.xsession) if args.xsession else None
    box = winebox.Box(args.work, args.prefix, args.preload, display)
    try:
        if args.command == "prefix":
            seconds, size = box.create_prefix()
            print(json.dumps({"seconds": round(seconds, 2), "bytes": size}))
            return 0
        for com in ("COM1", "COM2"):
            description = getattr(args, com.lower())
            if description:
                box.add_port(com, description)
        box.map_ports()
        program = box.wine(args.argv, "program")
        status = program.wait(timeout=args.timeout)
        box.kill_server()
        box.check_prefix()
        print(json.dumps({"status": status, "log": box.log_path}))
        return 0 if status == 0 else 1
    finally:
        box.close()


if __name__ == "__main__":
    try:
        sys.exit(main())
    except winebox.BoxError as error:
        print("winebox: REFUSED: %s" % error, file=sys.stderr)
        sys.exit(125)
