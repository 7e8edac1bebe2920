"""tools/check-wheel's checks, by job: elf (ELF and hardening), layout (the wheel's files, RECORD,
licences, the self-test), abi (stable ABI and the manylinux glibc floor)."""
import importlib.util
import os
import sys

# The pinned pyelftools setup/deps.sh unpacks (CORE_FIPS_PYELFTOOLS), else the system's.
sys.path += [p for p in [os.environ.get("CORE_FIPS_PYELFTOOLS")] if p]
if importlib.util.find_spec("elftools") is None:
    sys.exit("check-wheel: pyelftools is missing: set CORE_FIPS_PYELFTOOLS=$(setup/auditwheel.sh), "
             "or apt install python3-pyelftools")
