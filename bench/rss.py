"""Peak resident-memory growth of this process from a baseline on, for the bench's child processes
(any Python 3.11 or later, no third-party imports)."""

import resource


def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"/proc/self/status has no {field}")


class PeakMeter:
    """Takes the baseline when made. The peak (VmHWM) may already be above the current RSS from
    earlier transients (making the input, imports); writing 5 to clear_refs resets it to the current
    RSS, so only what comes after the baseline can raise it. Without that reset the earlier peak
    stays in the baseline, which can only understate the growth, and the report says so."""

    def __init__(self) -> None:
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            self.reset = status_kib("VmHWM") <= status_kib("VmRSS") + 64
        except OSError:
            self.reset = False
        # The peak as it stands now: after a reset, the current RSS; either way the later peak
        # can only be at or above it.
        self.baseline_kib = status_kib("VmHWM")

    def report(self) -> dict:
        peak = status_kib("VmHWM")
        return {"baseline_bytes": self.baseline_kib * 1024, "peak_bytes": peak * 1024,
                "growth_bytes": (peak - self.baseline_kib) * 1024, "hwm_reset": self.reset,
                "ru_maxrss_bytes": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}
