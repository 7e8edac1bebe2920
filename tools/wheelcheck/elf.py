"""ELF and hardening: what tools/check-wheel reads from the extension and the library (by
pyelftools), the checks on it, and the faults its self-test plants into their bytes."""
import io
import re
import struct
from collections import namedtuple

from elftools.common.exceptions import ELFError
from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

from .sbom import PINS

LIBS = "core_fips.libs"
# The AWS-LC builds a wheel may hold, by the library's file name (its SONAME): the version text
# the shipped file must carry, and whether its build takes our hardening flags (setup/pins). Debian's
# AWS-LC is built hardened; AWS-LC-FIPS is built as its Security Policy says (section 11.1), with no
# flags of ours but the symbol prefix and -Bsymbolic, so the checks that need compiler or linker
# flags (BIND_NOW, stack protector, FORTIFY) do not apply to it; the rest do.
Library = namedtuple("Library", "version hardened")
LIBRARIES = {
    PINS["DEBIAN_AWSLC_LIBRARY"]: Library(f"AWS-LC FIPS {PINS['DEBIAN_AWSLC_VERSION']}", True),
    PINS["FIPS_LIBRARY"]: Library(f"AWS-LC FIPS {PINS['FIPS_VERSION']}", False),
}
FLAG_CHECKS = "BIND_NOW, stack protector and FORTIFY"
INIT = "PyInit__core_fips"
RUNPATH = "$ORIGIN/" + LIBS
# The library exports its API under this prefix (setup/build-awslc.sh) and the FIPS module's
# boundary markers, which the integrity test reads.
LIBRARY_EXPORTS = re.compile(r"core_fips_awslc_\w+|BORINGSSL_bcm_(text|rodata)_(start|end)")
# libgcc_s counts as glibc's: glibc itself loads it to end or cancel a thread, so every system
# whose glibc can run our threads has it (and the extension must share that one unwinder).
GLIBC = {"libc.so.6", "libm.so.6", "libdl.so.2", "libpthread.so.0", "librt.so.1",
         "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1", "libgcc_s.so.1"}
CXX_RUNTIME = {"libstdc++.so.6"}
MACHINES = {"EM_X86_64": "x86_64", "EM_AARCH64": "aarch64"}

# The extension's TLS segment, whole, comes from glibc's static TLS surplus once any of it is
# initial-exec (DF_STATIC_TLS) and the extension is loaded after start-up, as every extension is.
# That surplus is a few hundred bytes shared by every such library in the process (512 by default,
# glibc.rtld.optional_static_tls; 144 with it at 0), and unchangeable on older glibc: past it the
# import fails ("cannot allocate memory in static TLS block"). A few words of ours fit it.
STATIC_TLS_BUDGET = 64

PF_X, PF_W = 1, 2
DF_TEXTREL, DF_BIND_NOW, DF_1_NOW = 0x4, 0x8, 0x1
STRING_TAGS = ("DT_NEEDED", "DT_SONAME", "DT_RPATH", "DT_RUNPATH")


class ElfError(Exception):
    pass


# A .dynsym entry: its file offset, where its name is in the file, and what the checks read.
Symbol = namedtuple("Symbol", "at name_at name binding visibility shndx value")


class Elf:
    """What the checks read from an ELF64 little-endian shared object (by pyelftools), with the
    file offsets the self-test needs to plant faults."""

    def __init__(self, data):
        try:
            self._read(ELFFile(io.BytesIO(data)))
        except (ELFError, ValueError, IndexError) as e:
            raise ElfError(str(e) or type(e).__name__) from None

    def _read(self, elf):
        if elf.elfclass != 64 or not elf.little_endian:
            raise ElfError("not ELF64 little-endian")
        self.type, self.machine = elf["e_type"], elf["e_machine"]
        self.segments = []  # (offset of the header, type, flags, offset, vaddr, filesz)
        self.tls_size = 0  # PT_TLS's memory size: what each thread needs of the TLS block
        for i, seg in enumerate(elf.iter_segments()):
            self.segments.append((elf["e_phoff"] + i * elf["e_phentsize"], seg["p_type"], seg["p_flags"],
                                  seg["p_offset"], seg["p_vaddr"], seg["p_filesz"]))
            if seg["p_type"] == "PT_TLS":
                self.tls_size = seg["p_memsz"]
        self.dynamic = []  # (offset, tag, value, the text of a string tag)
        self.dynstr = None  # the file offset of the dynamic string table
        self.symbols = []
        for section in elf.iter_sections():
            if isinstance(section, DynamicSection):
                self.dynstr = elf.get_section(section["sh_link"])["sh_offset"]
                for i, tag in enumerate(section.iter_tags()):
                    name = tag.entry.d_tag
                    text = getattr(tag, name[3:].lower()) if name in STRING_TAGS else None
                    self.dynamic.append((section["sh_offset"] + i * section["sh_entsize"], name,
                                         tag.entry.d_val, text))
            elif section["sh_type"] == "SHT_DYNSYM":
                names = elf.get_section(section["sh_link"])["sh_offset"]
                for i, sym in enumerate(section.iter_symbols()):
                    if i:
                        self.symbols.append(Symbol(
                            section["sh_offset"] + i * section["sh_entsize"], names + sym["st_name"],
                            sym.name, sym["st_info"]["bind"], sym["st_other"]["visibility"],
                            sym["st_shndx"], sym["st_value"]))

    def tag(self, tag):
        return [v for _, t, v, _ in self.dynamic if t == tag]

    def strings(self, tag):
        return [text for _, t, _, text in self.dynamic if t == tag]

    def exports(self):
        return sorted(s.name for s in self.symbols if s.shndx != "SHN_UNDEF" and s.binding != "STB_LOCAL"
                      and s.visibility in ("STV_DEFAULT", "STV_PROTECTED"))

    def imports(self):
        return {s.name for s in self.symbols if s.shndx == "SHN_UNDEF" and s.name}


def hardening_problems(elf, role, flags=True):
    """FLAGS: whether the file was built with our hardening flags (see LIBRARIES)."""
    out = []
    types = [p_type for _, p_type, _, _, _, _ in elf.segments]
    if "PT_GNU_RELRO" not in types:
        out.append("no PT_GNU_RELRO segment (link with -z relro)")
    stack = [flags for _, p_type, flags, _, _, _ in elf.segments if p_type == "PT_GNU_STACK"]
    if not stack:
        out.append("no PT_GNU_STACK segment: the loader makes the stack executable (link with -z noexecstack)")
    elif stack[0] & PF_X:
        out.append("PT_GNU_STACK is executable (link with -z noexecstack)")
    if any(p_type == "PT_LOAD" and flags & PF_X and flags & PF_W
           for _, p_type, flags, _, _, _ in elf.segments):
        out.append("a loaded segment is both writable and executable")
    if flags and not (elf.tag("DT_BIND_NOW") or any(v & DF_BIND_NOW for v in elf.tag("DT_FLAGS"))
            or any(v & DF_1_NOW for v in elf.tag("DT_FLAGS_1"))):
        out.append("no BIND_NOW (DT_BIND_NOW, DF_BIND_NOW, DF_1_NOW): relocations stay writable (link with -z now)")
    if elf.tag("DT_TEXTREL") or any(v & DF_TEXTREL for v in elf.tag("DT_FLAGS")):
        out.append("text relocations (DT_TEXTREL): code not built position-independent")
    imports = elf.imports()
    if flags and "__stack_chk_fail" not in imports:
        out.append("__stack_chk_fail not referenced: not built with -fstack-protector-strong")
    if flags and role == "library" and not any(re.fullmatch(r"__\w+_chk", n) and n != "__stack_chk_fail"
                                     for n in imports):
        out.append("no fortified __*_chk call referenced: not built with -D_FORTIFY_SOURCE=2")
    return out


def tls_problems(elf, role):
    """The extension's TLS segment within STATIC_TLS_BUDGET."""
    if role != "extension" or elf.tls_size <= STATIC_TLS_BUDGET:
        return []
    return [f"PT_TLS segment of {elf.tls_size} bytes, over the static TLS budget of {STATIC_TLS_BUDGET}"
            " (STATIC_TLS_BUDGET): where other libraries took glibc's static TLS surplus first, the import"
            " fails; keep thread-locals to a few words, the rest on the heap"]


def export_problems(elf, role):
    exports = elf.exports()
    if role == "extension":
        return [] if exports == [INIT] else [
            f"exports {', '.join(exports[:5]) or 'nothing'}{' ...' if len(exports) > 5 else ''}"
            f" ({len(exports)} symbols), not {INIT} alone (src/python/exports.map)"]
    stray = [n for n in exports if not LIBRARY_EXPORTS.fullmatch(n)]
    return [f"exports {len(stray)} unprefixed symbols ({', '.join(stray[:3])}): "
            "they would clash with another libcrypto in the process"] if stray else []


def link_problems(elf, role, allowed=GLIBC, library=None):
    """RUNPATH/RPATH and SONAME as the layout needs; NEEDED within `allowed` (None: unchecked)
    plus, for the extension, the shipped `library` (default: the one of LIBRARIES it needs, or for
    the library its own SONAME)."""
    out = []
    needed = elf.strings("DT_NEEDED")
    named = needed if role == "extension" else elf.strings("DT_SONAME")
    shipped = library or next((n for n in named if n in LIBRARIES), "one of " + ", ".join(LIBRARIES))
    paths = elf.strings("DT_RPATH") + elf.strings("DT_RUNPATH")
    want = [RUNPATH] if role == "extension" else []
    if paths != want:
        out.append(f"RUNPATH/RPATH is {':'.join(paths) or 'unset'}, expected {RUNPATH if want else 'none'}")
    if role == "extension" and shipped not in needed:
        out.append(f"does not need {shipped}")
    if role == "library" and elf.strings("DT_SONAME") != [shipped]:
        out.append(f"SONAME is {elf.strings('DT_SONAME')}, expected {shipped}")
    if allowed is not None:
        extra = sorted(set(needed) - set(allowed) - ({shipped} if role == "extension" else set()))
        if extra:
            out.append(f"needs {', '.join(extra)}, which neither the wheel nor glibc provides")
    return out


def elf_problems(elf, role, machine=None, allowed=GLIBC, library=None):
    out = []
    if machine and MACHINES.get(elf.machine) != machine:
        out.append(f"built for machine {elf.machine}, not {machine}")
    if elf.type != "ET_DYN":
        out.append(f"ELF type {elf.type}, not a shared object")
    flags = role == "extension" or LIBRARIES[library].hardened
    return (out + hardening_problems(elf, role, flags) + tls_problems(elf, role) + export_problems(elf, role)
            + link_problems(elf, role, allowed, library))


def version_problems(data, library):
    """The shipped library's own version text must be its build's (read from the file)."""
    texts = sorted(set(re.findall(rb"AWS-LC FIPS [0-9.]+(?=\0)", data)))
    want = LIBRARIES[library].version.encode()
    return [] if texts == [want] else [
        f"version text {b', '.join(texts).decode() or 'missing'}, not {want.decode()}"]


# The self-test's plants, each a changed copy of an ELF file's bytes.
def patch(data, at, fmt, *values):
    data = bytearray(data)
    struct.pack_into(fmt, data, at, *values)
    return bytes(data)


def clear_bind_now(data):
    elf = Elf(data)
    for at, tag, value, _ in elf.dynamic:
        if tag == "DT_FLAGS":
            data = patch(data, at + 8, "<Q", value & ~DF_BIND_NOW)
        elif tag == "DT_FLAGS_1":
            data = patch(data, at + 8, "<Q", value & ~DF_1_NOW)
        elif tag == "DT_BIND_NOW":
            data = patch(data, at, "<q", 21)  # DT_DEBUG: harmless
    return data


def extra_export(data):
    elf = Elf(data)
    init = next(s for s in elf.symbols if s.name == INIT)
    victim = next(s for s in elf.symbols if s.shndx == "SHN_UNDEF" and s.name.startswith("Py"))
    data = patch(data, victim.at + 6, "<H", init.shndx)
    return patch(data, victim.at + 8, "<Q", init.value)


def segment_flags(kind, flags):
    def plant(data):
        at = next(s[0] for s in Elf(data).segments if s[1] == kind)
        return patch(data, at + 4, "<I", flags)
    return plant


def grow_tls(size):
    """PT_TLS's memory size set to SIZE, as thread-locals of that size would make it."""
    def plant(data):
        at = next(s[0] for s in Elf(data).segments if s[1] == "PT_TLS")
        return patch(data, at + 40, "<Q", size)  # p_memsz
    return plant


def drop_relro(data):
    at = next(s[0] for s in Elf(data).segments if s[1] == "PT_GNU_RELRO")
    return patch(data, at, "<I", 0)


def rename_imports(pattern):
    def plant(data):
        data = bytearray(data)
        for s in Elf(bytes(data)).symbols:
            if s.shndx == "SHN_UNDEF" and re.fullmatch(pattern, s.name):
                data[s.name_at + len(s.name) - 1] = ord("X")  # __memcpy_chk -> __memcpy_chX
        return bytes(data)
    return plant


def set_runpath(value):
    def plant(data):
        elf = Elf(data)
        at, old = next((elf.dynstr + v, text.encode()) for _, t, v, text in elf.dynamic
                       if t in ("DT_RUNPATH", "DT_RPATH"))
        return data[:at] + value.encode().ljust(len(old), b"\0") + data[at + len(old):]
    return plant
