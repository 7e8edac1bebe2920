"""tools/check-wheel's checks, by job: elf (ELF and hardening), layout (the wheel's files, RECORD,
licences, the self-test), abi (stable ABI and the manylinux glibc floor)."""
import os
import sys

# The pinned pyelftools setup/deps.sh unpacks (CORE_FIPS_PYELFTOOLS), else the system's.
if os.environ.get("CORE_FIPS_PYELFTOOLS"):
    sys.path.append(os.environ["CORE_FIPS_PYELFTOOLS"])
try:
    import elftools  # noqa: F401
except ImportError:
    sys.exit("check-wheel: pyelftools is missing: set CORE_FIPS_PYELFTOOLS=$(setup/auditwheel.sh), "
             "or apt install python3-pyelftools")
