#!/usr/bin/env python3
"""Write the FIPS integrity value into an AWS-LC shared libcrypto (ELF64 LE).

From AWS-LC's crypto/fipsmodule/bcm.c (BORINGSSL_integrity_test, shared
build), fips_shared_support.c and the fips_shared.lds linker scripts:

  HMAC-SHA256(key = 64 zero bytes,
              u64le(text_end - text_start)     || bytes[text_start, text_end)
           || u64le(rodata_end - rodata_start) || bytes[rodata_start, rodata_end))

bounds = symbols BORINGSSL_bcm_{text,rodata}_{start,end}; the expected value is
the 32-byte array BORINGSSL_bcm_text_hash (outside the module), which holds a
fixed placeholder until injected.

  inject_hash.py -o OUT -in-object IN   (the command line CMake gives Go's tool)
  inject_hash.py -verify LIB            (exit 0 iff the stored value matches;
                                         needs .symtab, i.e. run before strip)

Standard library and pyelftools only (0.27 and later): it also runs where a user
builds AWS-LC. CORE_FIPS_PYELFTOOLS names the folder of the project's pinned copy.
It runs isolated (python -I: no PYTHONPATH, no user site), re-running itself so when
started otherwise.
"""
import os, sys

# Before anything else is imported: a hashlib.py on PYTHONPATH must not compute the value.
if __name__ == "__main__" and not sys.flags.isolated:
    if not sys.executable:
        sys.exit("inject_hash.py: run it as python3 -I (no interpreter to re-run it isolated)")
    os.execv(sys.executable, [sys.executable, "-I", os.path.abspath(__file__)] + sys.argv[1:])

import hashlib, hmac, io, struct, tempfile  # noqa: E402

if os.environ.get("CORE_FIPS_PYELFTOOLS"):
    sys.path.append(os.environ["CORE_FIPS_PYELFTOOLS"])
try:
    from elftools.common.exceptions import ELFError
    from elftools.elf.elffile import ELFFile
except ImportError:
    sys.exit("inject_hash.py: pyelftools is missing: apt install python3-pyelftools (Debian/Ubuntu) "
             "or dnf install python3-pyelftools (RHEL-like, EPEL)")

PLACEHOLDER = bytes.fromhex(
    "ae2cea2abda6f3ec977f9bf6949afc836827cba0a09f6b6fde52cde2cdff3180")
HMAC_KEY = bytes(64)
SYMBOLS = ("BORINGSSL_bcm_text_start", "BORINGSSL_bcm_text_end",
           "BORINGSSL_bcm_rodata_start", "BORINGSSL_bcm_rodata_end",
           "BORINGSSL_bcm_text_hash")


def die(msg):
    sys.stderr.write("inject_hash.py: %s\n" % msg)
    sys.exit(1)


def open_elf(data):
    try:
        elf = ELFFile(io.BytesIO(data))
    except ELFError as e:
        die("not an ELF file: %s" % e)
    if elf.elfclass != 64 or not elf.little_endian:
        die("not a 64-bit little-endian ELF file")
    if elf["e_type"] != "ET_DYN":
        die("not a shared object (e_type %s)" % elf["e_type"])
    return elf


def symbols(elf, wanted):
    """name -> st_value for defined symbols, from .symtab, else .dynsym."""
    found = {}
    for kind in ("SHT_SYMTAB", "SHT_DYNSYM"):
        found = {}
        for section in elf.iter_sections():
            if section["sh_type"] != kind:
                continue
            for sym in section.iter_symbols():
                if sym.name in wanted and sym["st_shndx"] != "SHN_UNDEF":
                    if found.get(sym.name, sym["st_value"]) != sym["st_value"]:
                        die("symbol %s defined twice" % sym.name)
                    found[sym.name] = sym["st_value"]
        if all(n in found for n in wanted):
            return found
    die("symbols missing (stripped? not a FIPS shared build?): %s"
        % ", ".join(n for n in wanted if n not in found))


def file_offset(elf, vaddr, length):
    """Where [vaddr, vaddr + length) lies in the file: inside one PT_LOAD segment's image."""
    for offset in elf.address_offsets(vaddr, length):
        return offset
    die("0x%x+%d is not inside one PT_LOAD segment's file image" % (vaddr, length))


def module_bounds(data):
    """The module's text and rodata as (vaddr, length, file offset), and the stored value's
    (vaddr, file offset)."""
    elf = open_elf(data)
    s = symbols(elf, SYMBOLS)
    ts, te = s["BORINGSSL_bcm_text_start"], s["BORINGSSL_bcm_text_end"]
    rs, re_ = s["BORINGSSL_bcm_rodata_start"], s["BORINGSSL_bcm_rodata_end"]
    h = s["BORINGSSL_bcm_text_hash"]
    if not (ts < te and rs < re_):
        die("empty or inverted module bounds")
    for lo, hi in ((ts, te), (rs, re_)):
        if lo < h + 32 and h < hi:
            die("BORINGSSL_bcm_text_hash lies inside the hashed module")
    return ((ts, te - ts, file_offset(elf, ts, te - ts)), (rs, re_ - rs, file_offset(elf, rs, re_ - rs)),
            (h, file_offset(elf, h, 32)))


def compute(data):
    text, rodata, (h, ho) = module_bounds(data)
    mac = hmac.new(HMAC_KEY, digestmod=hashlib.sha256)
    for _, length, offset in (text, rodata):
        mac.update(struct.pack("<Q", length))
        mac.update(data[offset:offset + length])
    return mac.digest(), ho, (text[0], text[1], rodata[0], rodata[1], h)


def main(argv):
    if len(argv) == 3 and argv[1] == "-verify":
        data = open(argv[2], "rb").read()
        value, off, (ts, tl, rs, rl, h) = compute(data)
        stored = data[off:off + 32]
        state = "OK" if stored == value else ("PLACEHOLDER" if stored == PLACEHOLDER else "MISMATCH")
        print("text 0x%x+%d rodata 0x%x+%d hash@0x%x %s %s" % (ts, tl, rs, rl, h, stored.hex(), state))
        return 0 if state == "OK" else 1
    args = dict(zip(argv[1::2], argv[2::2]))
    if len(argv) != 5 or set(args) != {"-o", "-in-object"}:
        die("usage: -o OUT -in-object IN | -verify LIB  (ELF shared objects only)")
    src, dst = args["-in-object"], args["-o"]
    data = bytearray(open(src, "rb").read())
    value, off, (ts, tl, rs, rl, h) = compute(bytes(data))
    if bytes(data[off:off + 32]) != PLACEHOLDER:
        die("BORINGSSL_bcm_text_hash does not hold the placeholder (already injected?)")
    if bytes(data).count(PLACEHOLDER) != 1:
        die("placeholder found %d times, expected once" % bytes(data).count(PLACEHOLDER))
    data[off:off + 32] = value
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(dst)))
    with os.fdopen(fd, "wb") as f:
        f.write(data)
    os.chmod(tmp, os.stat(src).st_mode & 0o7777)
    os.replace(tmp, dst)
    print("inject_hash.py: %s: text %d B, rodata %d B, HMAC-SHA256 %s" % (dst, tl, rl, value.hex()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
