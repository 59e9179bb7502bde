"""Checks that a linked binary runs on any x86-64 processor until the
dispatch layer picks a level: every function holding AVX2 or AVX-512
instructions (ymm or zmm registers) must belong to a level's namespace
(alvora::...::avx2 or ::avx512). A function outside them would be, for
instance, a library template compiled in a level's source file and chosen by
the linker for the baseline's callers.

Usage: python3 check_isa_isolation.py BINARY...   (needs objdump)
"""
import re
import subprocess
import sys

FUNCTION = re.compile(r"^[0-9a-f]+ <(.*)>:$")
WIDE = re.compile(r"%[yz]mm\d")
LEVEL = re.compile(r"alvora::(?:[A-Za-z_:]+::)?(?:avx2|avx512)::")


def offenders(binary):
    dump = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn", binary],
                          capture_output=True, text=True, check=True).stdout
    found, name = set(), None
    for line in dump.splitlines():
        m = FUNCTION.match(line)
        if m:
            name = m.group(1)
        elif name and WIDE.search(line) and not LEVEL.search(name):
            found.add(name)
    return sorted(found)


def main(binaries):
    bad = False
    for binary in binaries:
        found = offenders(binary)
        for name in found:
            print(f"{binary}: {name} uses AVX registers outside a level's namespace")
        bad |= bool(found)
    if not bad:
        print(f"AVX instructions only inside the levels' namespaces in {len(binaries)} binaries")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
