"""Import time of the module beside its peers, each in fresh interpreter processes.

    python bench/import_time.py [--runs N] [module ...]

Runs `python -X importtime -c "import <module>"` N times per module, in turns, and prints the
median time of what the import statement loaded (what `import` costs a fresh process on top
of the interpreter's start-up).
"""
import argparse
import statistics
import subprocess
import sys

DEFAULT = ["zun_protocol", "nacl.signing", "cryptography.hazmat.primitives.asymmetric.ed25519"]


def import_us(module):
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                          capture_output=True, text=True, check=True, cwd="/")
    # "import time: <self us> | <cumulative us> | <name indented by depth>": the lines of
    # depth 0 after the interpreter's own start-up are what the import statement cost
    # (`import a.b` imports `a`, then `a.b`, each at depth 0).
    lines = done.stderr.splitlines()
    total = 0
    for line in lines[[i for i, l in enumerate(lines) if l.endswith("| site")][-1] + 1:]:
        _, cumulative, name = line.split("|")
        if not name[1:].startswith(" "):
            total += int(cumulative)
    return total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=21)
    parser.add_argument("modules", nargs="*", default=DEFAULT)
    args = parser.parse_args()
    samples = {m: [] for m in args.modules}
    for _ in range(args.runs):
        for module in args.modules:
            samples[module].append(import_us(module))
    print(f"Python {sys.version.split()[0]}, median of {args.runs} fresh processes")
    for module, values in samples.items():
        print(f"{module:55} {statistics.median(values) / 1000:8.2f} ms")


if __name__ == "__main__":
    main()
