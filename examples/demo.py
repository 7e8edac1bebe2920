"""A short tour of _core_fips."""
import ctypes
import os

import _core_fips

lib = ctypes.CDLL(os.path.join(os.path.dirname(_core_fips.__file__), "libcrypto-awslc.so.0"))
version = ctypes.c_char_p.in_dll  # noqa: F841 (kept simple below)
lib.core_fips_awslc_5_1_0_OpenSSL_version.restype = ctypes.c_char_p
print("AWS-LC:", lib.core_fips_awslc_5_1_0_OpenSSL_version(0).decode())
print("fips_check():", _core_fips.fips_check())
