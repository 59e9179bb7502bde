"""A short soak in a fresh process: resident memory stays flat over many kernel
calls, engine and study runs, and a switched-away bundle is unmapped
(bench/soak.py; the bound is generous, a leak of a few KB per call exceeds it);
10^4 binding calls keep no reference to their inputs or results (a result
leaked per call fails it whatever its size)."""
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in quarantine")
def test_short_soak_keeps_memory_flat_releases_switched_bundles_and_references():
    proc = subprocess.run(
        [sys.executable, os.path.join(ROOT, "bench", "soak.py"), "--kernel-calls", "20000",
         "--runs", "30", "--switches", "6", "--max-growth-mb", "48", "--reference-calls", "10000"],
        capture_output=True, text=True, timeout=900)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "still mapped from the first bundle: 0" in proc.stdout
    assert "references kept: 0" in proc.stdout
