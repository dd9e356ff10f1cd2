#!/usr/bin/env python3
"""check_layers.py SOURCE_DIR: each folder of the program is one layer and
includes only from the folders below it (and itself). Prints every include
that runs upwards and exits non-zero when there is one."""
import pathlib
import re
import sys

# What each folder may include from. Everything else (tests, bench, tools)
# sits on top and may include anything.
ALLOWED = {
    "text": {"text"},
    "hash": {"hash"},
    "contract": {"text", "contract"},
    "platform": {"text", "contract", "platform"},
    "payload": {"text", "contract", "platform", "payload"},
    "output": {"text", "contract", "platform", "output"},
    "link": {"text", "platform", "output", "link"},
    "record": {"text", "contract", "platform", "payload", "output", "link", "record"},
    "app": {"text", "contract", "platform", "payload", "output", "link", "record", "app"},
    # The resident driver reads with identification's own probe and registers.
    "resident": {"text", "contract", "platform", "output", "link", "record", "app", "resident"},
    "sim": {"text", "hash", "platform", "output", "sim"},
    "pelloryctl": {"text", "contract", "hash", "pelloryctl"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/')


def upward_includes(root):
    found = []
    for folder, allowed in ALLOWED.items():
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".h", ".cpp", ".S"):
                continue
            for number, line in enumerate(path.read_text().splitlines(), 1):
                match = INCLUDE.match(line)
                if match and match.group(1) not in allowed:
                    found.append(f"{path.relative_to(root)}:{number}: {folder}/ includes "
                                 f"{match.group(1)}/, a higher layer")
    return found


def main(args):
    root = pathlib.Path(args[0])
    missing = [f for f in ALLOWED if not (root / f).is_dir()]
    if missing:
        print(f"no folder {', '.join(missing)} under {root}")
        return 1
    found = upward_includes(root)
    for line in found:
        print(line)
    if not found:
        print(f"{len(ALLOWED)} layers checked")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
