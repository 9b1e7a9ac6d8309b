"""Runs every input of a harness's corpus once, without libFuzzer: python replay.py HARNESS FOLDER...

For the coverage build, which has no fuzzer instrumentation. Exits non-zero when an input fails.
"""

import importlib
import os
import sys
import traceback


def main():
    harness = importlib.import_module(sys.argv[1])
    failed = 0
    for folder in sys.argv[2:]:
        for name in sorted(os.listdir(folder)):
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            try:
                harness.test_one_input(data)
            except Exception:  # noqa: BLE001 - every failing input is reported, then the run fails
                failed += 1
                print(f"{sys.argv[1]}: {name} failed", file=sys.stderr)
                traceback.print_exc()
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
