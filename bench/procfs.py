"""What the bench scripts read of a running process in /proc."""


def _field_kb(path, key):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def status_kb(pid, key):
    """A kB figure of /proc/PID/status (VmRSS, VmHWM, ...); 0 once the process is gone."""
    return _field_kb(f"/proc/{pid}/status", key)


def pss_kb(pid):
    return _field_kb(f"/proc/{pid}/smaps_rollup", "Pss")
