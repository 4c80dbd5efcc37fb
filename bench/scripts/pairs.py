#!/usr/bin/env python3
"""Runs commands in turn, A B C A B C ..., so that a shared machine's drift falls on every command alike, and
records each run's wall time and processor time (user + system of the command and its children, from wait4).

Usage: pairs.py OUT_JSON RUNS [--prepare COMMAND] -- LABEL COMMAND [LABEL COMMAND ...]
A command is split as a shell would split it (shlex) and run without a shell; --prepare runs before every
run, untimed. OUT_JSON: {"label": {"command": ..., "wall": [...], "user": [...], "system": [...]}, ...}.
"""
import json
import os
import shlex
import subprocess
import sys
import time


def run(argv):
    start = time.monotonic()
    with open(os.devnull, "wb") as null:
        process = subprocess.Popen(argv, stdout=null)
        _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        sys.exit(f"pairs.py: exit status {process.returncode} from {shlex.join(argv)}")
    return wall, usage.ru_utime, usage.ru_stime


def main(args):
    if len(args) < 2 or "--" not in args:
        sys.exit(__doc__)
    out, runs = args[0], int(args[1])
    options, commands = args[2:args.index("--")], args[args.index("--") + 1:]
    prepare = None
    if options[:1] == ["--prepare"]:
        prepare = shlex.split(options[1])
    if len(commands) % 2 != 0 or not commands:
        sys.exit("pairs.py: LABEL COMMAND pairs expected after --")
    table = {commands[i]: {"command": commands[i + 1], "wall": [], "user": [], "system": []}
             for i in range(0, len(commands), 2)}
    # One untimed round first: caches warm, outputs exist for the runs that replace them.
    for rounds, timed in ((1, False), (runs, True)):
        for _ in range(rounds):
            for label, row in table.items():
                if prepare:
                    subprocess.run(prepare, check=True)
                wall, user, system = run(shlex.split(row["command"]))
                if timed:
                    row["wall"].append(wall)
                    row["user"].append(user)
                    row["system"].append(system)
                    print(f"{label}: {wall:.3f} s wall, {user + system:.3f} s processor", file=sys.stderr)
    with open(out, "w") as f:
        json.dump(table, f, indent=1)


if __name__ == "__main__":
    main(sys.argv[1:])
