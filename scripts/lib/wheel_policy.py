"""Checks a repaired wheel against the manylinux policy it must meet, from `auditwheel show`.

    python wheel_policy.py WHEEL POLICY      e.g. POLICY = manylinux_2_26_x86_64

Fails unless the wheel is tagged POLICY, auditwheel finds it consistent with exactly POLICY (an
older one means the policy can be lowered, a newer one that a newer glibc symbol crept in), it
grafted nothing into the wheel, and the wheel's binaries use versioned symbols of glibc's
libraries alone (a libstdc++ or libgcc_s among them: the C++ runtime is no longer linked in).
"""

from __future__ import annotations

import json
import subprocess
import sys

GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "librt.so.1", "libdl.so.2"}


def wheel_analysis(wheel: str) -> dict:
    shown = subprocess.run(["auditwheel", "show", "--json", wheel],
                           capture_output=True, text=True, check=True)
    return json.loads(shown.stdout)


def policy_faults(analysis: dict, policy: str) -> list[str]:
    faults = []
    if not analysis["wheel"].endswith(f"-{policy}.whl"):
        faults.append(f"the wheel is not tagged {policy}: {analysis['wheel']}")
    if analysis["overall_tag"] != policy:
        faults.append(f"auditwheel finds {analysis['overall_tag']}, not {policy}")
    if analysis["external_libs"]:
        faults.append(f"libraries grafted into the wheel: {sorted(analysis['external_libs'])}")
    foreign = sorted(set(analysis["versioned_symbols"]) - GLIBC_LIBRARIES
                     - {lib for lib in analysis["versioned_symbols"] if lib.startswith("ld-linux")})
    if foreign:
        faults.append(f"symbols from libraries other than glibc's: {foreign}")
    return faults


def main() -> int:
    wheel, policy = sys.argv[1:3]
    analysis = wheel_analysis(wheel)
    glibc = sorted({v for versions in analysis["versioned_symbols"].values() for v in versions
                    if v.startswith("GLIBC_")},
                   key=lambda v: [int(part) for part in v.split("_", 1)[1].split(".")])
    print(f"auditwheel show: {analysis['overall_tag']}; newest glibc symbol version {glibc[-1]}; "
          f"libraries: {', '.join(sorted(analysis['versioned_symbols']))}")
    faults = policy_faults(analysis, policy)
    for fault in faults:
        print(f"FAILED: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
