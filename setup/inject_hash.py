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
"""
import hashlib, hmac, os, struct, sys, tempfile

PLACEHOLDER = bytes.fromhex(
    "ae2cea2abda6f3ec977f9bf6949afc836827cba0a09f6b6fde52cde2cdff3180")
HMAC_KEY = bytes(64)
SYMBOLS = ("BORINGSSL_bcm_text_start", "BORINGSSL_bcm_text_end",
           "BORINGSSL_bcm_rodata_start", "BORINGSSL_bcm_rodata_end",
           "BORINGSSL_bcm_text_hash")


def die(msg):
    sys.stderr.write("inject_hash.py: %s\n" % msg)
    sys.exit(1)


class Elf:
    def __init__(self, data):
        self.data = data
        if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
            die("not a 64-bit little-endian ELF file")
        (e_type, _m, _v, _e, phoff, shoff, _f, _eh, phentsize, phnum,
         shentsize, shnum, _shstrndx) = struct.unpack_from("<HHIQQQIHHHHHH", data, 16)
        if e_type != 3:
            die("not a shared object (e_type %d)" % e_type)
        self.sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize)
                         for i in range(shnum)]
        self.segments = [struct.unpack_from("<IIQQQQQQ", data, phoff + i * phentsize)
                         for i in range(phnum)]

    def symbols(self, wanted):
        """name -> st_value for defined symbols, from .symtab, else .dynsym."""
        found = {}
        for kind in (2, 11):  # SHT_SYMTAB, SHT_DYNSYM
            found = {}
            for (_n, sh_type, _fl, _a, off, size, link, _i, _al, entsize) in self.sections:
                if sh_type != kind or not entsize:
                    continue
                stroff = self.sections[link][4]
                for i in range(size // entsize):
                    st_name, _inf, _oth, shndx, value, _sz = struct.unpack_from(
                        "<IBBHQQ", self.data, off + i * entsize)
                    if shndx == 0:
                        continue
                    end = self.data.index(b"\0", stroff + st_name)
                    name = self.data[stroff + st_name:end].decode("ascii", "replace")
                    if name in wanted:
                        if found.get(name, value) != value:
                            die("symbol %s defined twice" % name)
                        found[name] = value
            if all(n in found for n in wanted):
                return found
        die("symbols missing (stripped? not a FIPS shared build?): %s"
            % ", ".join(n for n in wanted if n not in found))

    def file_offset(self, vaddr, length):
        for (p_type, _f, p_offset, p_vaddr, _pa, p_filesz, _ms, _al) in self.segments:
            if p_type == 1 and p_vaddr <= vaddr and vaddr + length <= p_vaddr + p_filesz:
                return vaddr - p_vaddr + p_offset
        die("0x%x+%d is not inside one PT_LOAD segment's file image" % (vaddr, length))


def compute(data):
    elf = Elf(data)
    s = elf.symbols(SYMBOLS)
    ts, te = s["BORINGSSL_bcm_text_start"], s["BORINGSSL_bcm_text_end"]
    rs, re_ = s["BORINGSSL_bcm_rodata_start"], s["BORINGSSL_bcm_rodata_end"]
    h = s["BORINGSSL_bcm_text_hash"]
    if not (ts < te and rs < re_):
        die("empty or inverted module bounds")
    for lo, hi in ((ts, te), (rs, re_)):
        if lo < h + 32 and h < hi:
            die("BORINGSSL_bcm_text_hash lies inside the hashed module")
    to, ro, ho = elf.file_offset(ts, te - ts), elf.file_offset(rs, re_ - rs), elf.file_offset(h, 32)
    mac = hmac.new(HMAC_KEY, digestmod=hashlib.sha256)
    mac.update(struct.pack("<Q", te - ts)); mac.update(data[to:to + te - ts])
    mac.update(struct.pack("<Q", re_ - rs)); mac.update(data[ro:ro + re_ - rs])
    return mac.digest(), ho, (ts, te - ts, rs, re_ - rs, h)


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
