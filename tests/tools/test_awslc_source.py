"""What stands between a named AWS-LC source and the library built from it: the verifier
(setup/awslc_source.py), the verified copy kept in the cache (setup/lib-awslc.sh), the
environment AWS-LC's build runs in (setup/build-awslc.sh) and the shared build folder a build from
the sdist reuses (cmake/awslc-from-source.cmake). Each is shown a stand-in source (a listing of a
few files instead of the tag's 9,038) and the steering an outside review tried."""
import hashlib
import io
import os
import shutil
import signal
import stat
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from test_build_from_source import ROOT, load

source = load("awslc_source", "setup/awslc_source.py")
TOP = source.TOP
PINS = source.PINS
FILES = {"CMakeLists.txt": b"cmake_minimum_required(VERSION 3.18)\n",
         "crypto/fipsmodule/bcm.c": b"int bcm;\n", "include/openssl/base.h": b"/* base */\n"}


def write_tree(folder, files=FILES):
    for rel, data in files.items():
        (folder / rel).parent.mkdir(parents=True, exist_ok=True)
        (folder / rel).write_bytes(data)
    return folder


def listing_of(files):
    return "".join(f"100644 blob {source.blob_id(data)}\t{rel}\n" for rel, data in sorted(files.items()))


@pytest.fixture
def standin(tmp_path, monkeypatch):
    """The verifier made to take the stand-in tree as the tag's; returns the tree."""
    listing = tmp_path / "listing.txt"
    listing.write_text(listing_of(FILES))
    monkeypatch.setattr(source, "LISTING", listing)
    monkeypatch.setattr(source, "TREE_ID", source.tree_id(source.listing()))
    return write_tree(tmp_path / "src" / TOP)


def refusal(capsys, *argv):
    """The one line a refused verification prints."""
    assert source.main(list(map(str, argv))) == 1
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("awslc_source.py: refused: "), lines
    return lines[0]


def test_a_link_fifo_or_planted_folder_is_refused_in_one_line(standin, tmp_path, capsys):
    bcm = standin / "crypto/fipsmodule/bcm.c"
    elsewhere = write_tree(tmp_path / "elsewhere")
    bcm.unlink()
    bcm.symlink_to(elsewhere / "crypto/fipsmodule/bcm.c")  # the same bytes, through a link
    assert "crypto/fipsmodule/bcm.c: not a regular file" in refusal(capsys, "verify", standin, tmp_path / "a")
    bcm.unlink()
    os.mkfifo(bcm)  # opened for reading, a FIFO would wait for a writer forever
    signal.signal(signal.SIGALRM, lambda *_: pytest.fail("the verifier blocked on a FIFO"))
    signal.alarm(20)
    try:
        assert "crypto/fipsmodule/bcm.c: not a regular file" in refusal(capsys, "verify", standin, tmp_path / "b")
    finally:
        signal.alarm(0)
    # A copy is made only into a folder of its own: a link planted where it goes is not followed.
    bcm.unlink()
    bcm.write_bytes(FILES["crypto/fipsmodule/bcm.c"])
    planted = tmp_path / "planted"
    planted.mkdir()
    (planted / TOP).symlink_to(tmp_path / "theirs", target_is_directory=True)
    (tmp_path / "theirs").mkdir()
    assert "must not exist" in refusal(capsys, "verify", standin, planted)
    assert not any((tmp_path / "theirs").iterdir())


def test_what_is_copied_is_what_was_checked(standin, tmp_path, monkeypatch, capsys):
    """A file swapped after its check (a tree's file during the copy, a zip after its hash) never
    reaches the copy: the copy holds the checked bytes, or the source is refused."""
    checked = source.blob_id

    def swap_after_check(data):
        blob = checked(data)
        if data == FILES["crypto/fipsmodule/bcm.c"]:
            (standin / "crypto/fipsmodule/bcm.c").write_bytes(b"int evil;\n")
        return blob
    monkeypatch.setattr(source, "blob_id", swap_after_check)
    if source.main(["verify", str(standin), str(tmp_path / "copy")]) == 0:
        assert (tmp_path / "copy" / TOP / "crypto/fipsmodule/bcm.c").read_bytes() == FILES["crypto/fipsmodule/bcm.c"]
    else:
        assert "bcm.c: differs" in capsys.readouterr().err
    monkeypatch.setattr(source, "blob_id", checked)

    def zip_of(files):
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w") as z:
            for rel, data in files.items():
                z.writestr(f"{TOP}/{rel}", data)
        return out.getvalue()
    good, evil = zip_of(FILES), zip_of({**FILES, "crypto/fipsmodule/bcm.c": b"int evil;\n"})
    archive = tmp_path / source.ZIP_NAME
    archive.write_bytes(good)
    monkeypatch.setattr(source, "ZIP_SHA256", hashlib.sha256(good).hexdigest())
    opened = zipfile.ZipFile

    def swap_after_hash(*args, **kwargs):
        archive.write_bytes(evil)
        return opened(*args, **kwargs)
    monkeypatch.setattr(source.zipfile, "ZipFile", swap_after_hash)
    if source.main(["verify", str(archive), str(tmp_path / "zipped")]) == 0:
        assert (tmp_path / "zipped" / TOP / "crypto/fipsmodule/bcm.c").read_bytes() == FILES["crypto/fipsmodule/bcm.c"]
    else:
        assert "bcm.c: differs" in capsys.readouterr().err


def run_bash(script, **env):
    out = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=120,
                         env={"PATH": os.environ["PATH"], "HOME": os.environ.get("HOME", "/"), **env})
    return out.returncode, out.stdout, out.stderr


def standin_setup(tmp_path):
    """A copy of setup/ whose pins take the stand-in tree as the tag's, and a named stand-in tree."""
    setup = tmp_path / "setup"
    shutil.copytree(ROOT / "setup", setup)
    (tmp_path / PINS["FIPS_LISTING"]).write_text(listing_of(FILES))
    tree_id = source.tree_id({rel: ("100644", source.blob_id(d)) for rel, d in FILES.items()})
    (setup / "pins").write_text((setup / "pins").read_text().replace(source.TREE_ID, tree_id))
    write_tree(tmp_path / "named" / TOP)
    return setup


def test_a_kept_copy_edited_in_the_cache_is_not_built(tmp_path):
    """setup/lib-awslc.sh keeps the verified copy in the cache: a later run, which verifies the
    named source again, checks the kept copy against the key of those bytes and replaces it."""
    setup = standin_setup(tmp_path)
    script = f"""set -e
. {setup}/lib.sh
go_static() {{ echo /bin/true; }}
cache_init
awslc_source_ready
cat "$AWSLC_SOURCE/{TOP}/crypto/fipsmodule/bcm.c"
printf 'int edited;\\n' >"$AWSLC_SOURCE/{TOP}/crypto/fipsmodule/bcm.c"
awslc_source_ready
cat "$AWSLC_SOURCE/{TOP}/crypto/fipsmodule/bcm.c"
"""
    rc, out, err = run_bash(script, CORE_FIPS_CACHE=str(tmp_path / "cache"),
                            CORE_FIPS_AWSLC_SOURCE=str(tmp_path / "named"))
    assert rc == 0, err
    assert out == "int bcm;\nint bcm;\n", err
    assert "replacing the kept copy" in err


def test_the_kept_copys_check_walks_links_and_computes_the_key_again(standin, tmp_path, capsys):
    """`check` refuses a kept copy holding a link where a folder was (AWS-LC includes
    "openssl/x509v3.h" from a file's own folder first), a linked tree folder, or a rewritten
    source.key; it prints the key it computed from the bytes."""
    dest = tmp_path / "kept"
    assert source.main(["verify", str(standin), str(dest)]) == 0
    capsys.readouterr()
    key = (dest / source.KEY).read_text().strip()
    elsewhere = tmp_path / "elsewhere"
    shutil.copytree(dest / TOP / "include/openssl", elsewhere)  # the same bytes, through a link
    shutil.rmtree(dest / TOP / "include/openssl")
    (dest / TOP / "include/openssl").symlink_to(elsewhere, target_is_directory=True)
    assert "include/openssl: not a folder" in refusal(capsys, "check", dest, key)
    (dest / TOP / "include/openssl").unlink()
    shutil.copytree(elsewhere, dest / TOP / "include/openssl")
    (dest / TOP / "include/planted").mkdir()
    assert "include/planted: a folder not in the tag's listing" in refusal(capsys, "check", dest, key)
    (dest / TOP / "include/planted").rmdir()
    shutil.move(dest / TOP, tmp_path / "tree")
    (dest / TOP).symlink_to(tmp_path / "tree", target_is_directory=True)
    assert f"{TOP}: not a folder" in refusal(capsys, "check", dest, key)
    (dest / TOP).unlink()
    shutil.move(tmp_path / "tree", dest / TOP)
    (dest / source.KEY).write_text("0" * 64 + "\n")
    assert "source.key: not the key of the copy's bytes" in refusal(capsys, "check", dest)
    (dest / source.KEY).write_text(key + "\n")
    assert source.main(["check", str(dest), key]) == 0 and capsys.readouterr().out == key + "\n"


def test_a_build_folder_a_group_or_another_user_can_write_to_is_refused(tmp_path, capsys):
    """build-folder refuses the folder, its parent or any folder above, if a group or others may
    write to it (a sticky one above aside) or another user than root owns it: one line names it."""
    shared = tmp_path / "shared"
    (shared / "core-fips-awslc").mkdir(parents=True)
    os.chmod(shared / "core-fips-awslc", 0o2775)
    assert refusal(capsys, "build-folder", shared, "core-fips-awslc").endswith(
        f"{shared}/core-fips-awslc: writable by its group (mode 2775); chmod g-w it")
    os.chmod(shared / "core-fips-awslc", 0o755)
    os.chmod(shared, 0o775)
    assert f"{shared}: writable by its group (mode 0775)" in refusal(capsys, "build-folder", shared, "core-fips-awslc")
    os.chmod(shared, 0o755)
    os.chmod(tmp_path, 0o777)  # a folder above, open to all and not sticky: they may rename shared/
    try:
        assert f"{tmp_path}: writable by others (mode 0777)" in refusal(capsys, "build-folder", shared, "core-fips-awslc")
        os.chmod(tmp_path, 0o1777)  # sticky, like /tmp: what is ours in it stays ours
        assert source.main(["build-folder", str(shared), "core-fips-awslc"]) == 0
    finally:
        os.chmod(tmp_path, 0o700)
    if os.getuid() == 0:  # a parent of another user's, closed to others
        os.chown(shared, 65534, 65534)
        assert f"{shared}: owned by uid 65534, not by you (uid 0) or root" in refusal(capsys, "build-folder", shared, "core-fips-awslc")


def test_the_verifiers_copy_is_its_owners_alone_whatever_the_umask(tmp_path):
    setup = standin_setup(tmp_path)
    out = subprocess.run([sys.executable, str(setup / "awslc_source.py"), "verify", str(tmp_path / "named"),
                          str(tmp_path / "copy")], capture_output=True, text=True, timeout=120,
                         preexec_fn=lambda: os.umask(0))
    assert out.returncode == 0, out.stderr
    open_to_others = [f"{p.relative_to(tmp_path)} {stat.S_IMODE(p.lstat().st_mode):04o}"
                      for p in [tmp_path / "copy", *(tmp_path / "copy").rglob("*")] if p.lstat().st_mode & 0o022]
    assert open_to_others == []


PLANTED_HASHLIB = "open({marker!r}, 'a').write('hashlib.py from PYTHONPATH ran\\n')\nraise ImportError('planted')\n"


def planted_python_env(tmp_path, python="/usr/bin/python3"):
    """An environment whose PYTHONPATH holds a hashlib.py, and whose HOME's user site a .pth file,
    each writing to the returned marker file when it runs."""
    marker = tmp_path / "planted-ran"
    (tmp_path / "planted").mkdir()
    (tmp_path / "planted/hashlib.py").write_text(PLANTED_HASHLIB.format(marker=str(marker)))
    home = tmp_path / "home"
    site = subprocess.run([python, "-c", "import site; print(site.getusersitepackages())"], env={"HOME": str(home)},
                          capture_output=True, text=True, check=True).stdout.strip()
    Path(site).mkdir(parents=True)
    Path(site, "planted.pth").write_text(f"import os; open({str(marker)!r}, 'a').write('user site .pth ran\\n')\n")
    return {"PYTHONPATH": str(tmp_path / "planted"), "HOME": str(home)}, marker


def test_the_verifier_runs_isolated(tmp_path):
    """Neither a hashlib.py on PYTHONPATH nor a .pth of the user site runs in the verifier, as
    setup/lib-awslc.sh starts it; started without -I (as CMake may), it re-runs itself isolated."""
    setup = standin_setup(tmp_path)
    env, marker = planted_python_env(tmp_path)
    rc, out, err = run_bash(f". {setup}/lib.sh\ngo_static() {{ echo /bin/true; }}\ncache_init\nawslc_source_ready\n",
                            CORE_FIPS_CACHE=str(tmp_path / "cache"), CORE_FIPS_AWSLC_SOURCE=str(tmp_path / "named"), **env)
    assert not marker.exists(), marker.read_text()
    assert rc == 0, err
    direct = subprocess.run(["/usr/bin/python3", str(setup / "awslc_source.py"), "self-check"],
                            env={"PATH": os.environ["PATH"], "PYTHONPATH": env["PYTHONPATH"]}, capture_output=True, text=True)
    assert not marker.exists(), marker.read_text()
    assert direct.returncode == 0, direct.stderr


def test_builds_are_keyed_by_the_recomputed_key_the_go_command_and_the_prefix(tmp_path):
    """setup/lib-awslc.sh keys a build by the kept copy's key as computed from its bytes (a rewritten
    source.key neither moves the key nor survives), by the go command's path and bytes, and by the
    symbol prefix."""
    setup = standin_setup(tmp_path)
    go = tmp_path / "go"
    go.write_text("#!/bin/sh\n")
    go.chmod(0o755)
    script = f"""set -e
. {setup}/lib.sh
go_static() {{ echo {go}; }}
cache_init
awslc_source_ready
awslc_dir "$CACHE"
printf '%064d\\n' 0 >"$AWSLC_SOURCE/source.key"
awslc_source_ready
awslc_dir "$CACHE"
cat "$AWSLC_SOURCE/source.key"
printf '#!/bin/sh\\n# another go\\n' >{go}
awslc_dir "$CACHE"
AWSLC_SYMBOL_PREFIX=another_prefix
awslc_dir "$CACHE"
"""
    rc, out, err = run_bash(script, CORE_FIPS_CACHE=str(tmp_path / "cache"), CORE_FIPS_AWSLC_SOURCE=str(tmp_path / "named"))
    assert rc == 0, err
    first, again, key, other_go, other_prefix = out.split()
    assert again == first and key != "0" * 64, out
    assert "replacing the kept copy" in err and "source.key: not the key" in err
    assert len({first, other_go, other_prefix}) == 3, out


def fake_prefix(prefix):
    """An installed AWS-LC in small: the library, its SONAME link, a header, the record."""
    write_tree(prefix, {"lib/libcrypto-awslc.so.0.0.1": b"\x7fELF library", "include/openssl/base.h": b"/* base */\n",
                        "share/core-fips/awslc-source.txt": f"AWS-LC-FIPS {source.VERSION} from the verified zip\n".encode(),
                        "share/core-fips/library.sha256": hashlib.sha256(b"\x7fELF library").hexdigest().encode() + b"\n"})
    (prefix / "lib/libcrypto-awslc.so.0").symlink_to("libcrypto-awslc.so.0.0.1")
    return prefix


def test_a_reused_prefix_is_what_its_manifest_lists(tmp_path, capsys):
    """The manifest written at build time names every file and link of the prefix: a reuse refuses
    an edited header or record, an added or removed file, a moved link or another stamp, in one line."""
    prefix = fake_prefix(tmp_path / "prefix")
    assert source.main(["manifest", str(prefix), "--stamp", "inputs A"]) == 0
    assert source.main(["check-prefix", str(prefix), "--stamp", "inputs A"]) == 0
    assert "share/core-fips/stamp: built from other inputs" in refusal(capsys, "check-prefix", prefix, "--stamp", "inputs B")
    faults = {
        "include/openssl/base.h: not the file built there": lambda: (prefix / "include/openssl/base.h").write_text("/* edited */\n"),
        "awslc-source.txt: not the file built there": lambda: (prefix / "share/core-fips/awslc-source.txt").write_text("planted\n"),
        "include/openssl/planted.h: not in share/core-fips/manifest.sha256": lambda: (prefix / "include/openssl/planted.h").write_text(""),
        "lib/libcrypto-awslc.so.0: not the file built there": lambda: (
            (prefix / "lib/libcrypto-awslc.so.0").unlink(), (prefix / "lib/libcrypto-awslc.so.0").symlink_to("other.so")),
        "include/openssl/base.h: listed in share/core-fips/manifest.sha256 but missing": lambda: (prefix / "include/openssl/base.h").unlink(),
    }
    for words, plant in faults.items():
        shutil.rmtree(prefix)
        fake_prefix(prefix)
        assert source.main(["manifest", str(prefix)]) == 0
        plant()
        assert words in refusal(capsys, "check-prefix", prefix), words


def test_a_kept_awslc_build_is_reused_only_as_built(tmp_path):
    """setup/lib-awslc.sh reuses a kept build only if its manifest still lists it: a header edited
    in the cache is refused, though the library is still the one built there."""
    dest = fake_prefix(tmp_path / "cache/awslc-kept")
    assert source.main(["manifest", str(dest)]) == 0
    script = f"""set -e
. {ROOT}/setup/lib.sh
AWSLC_LIBRARY=libcrypto-awslc.so.0
awslc_ensure {dest} true
echo reused
printf '/* edited */' >{dest}/include/openssl/base.h
awslc_ensure {dest} true
echo reused again
"""
    rc, out, err = run_bash(script, CORE_FIPS_CACHE=str(tmp_path / "cache"))
    assert rc != 0 and out == "reused\n", out + err
    assert f"the kept AWS-LC {dest} is not what was built there: {dest}/include/openssl/base.h: not the file built there" in err


def test_reads_are_capped(standin, tmp_path, monkeypatch, capsys):
    """Nothing the verifier reads is read whole past its cap: a list of missing files, a zip's members."""
    cap = getattr(source, "MAX_TEXT_BYTES", 1 << 20)
    allow = tmp_path / "allow.txt"
    allow.write_text("# padding\n" * (cap // 10 + 1))
    assert "allow.txt: larger than" in refusal(capsys, "verify", standin, tmp_path / "a", "--allow-missing", allow)
    archive = tmp_path / source.ZIP_NAME
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        for rel, data in FILES.items():
            z.writestr(f"{TOP}/{rel}", data)
        z.writestr(f"{TOP}/crypto/bomb.txt", bytes(1 << 16))
    monkeypatch.setattr(source, "ZIP_SHA256", hashlib.sha256(archive.read_bytes()).hexdigest())
    monkeypatch.setattr(source, "MAX_FILE_BYTES", 1 << 15, raising=False)
    assert "crypto/bomb.txt: unpacks past" in refusal(capsys, "verify", archive, tmp_path / "z")


# ------------------------------------------------------------------ the build's environment
STANDIN_CMAKE = """cmake_minimum_required(VERSION 3.18)
project(standin C)
file(WRITE "${CMAKE_BINARY_DIR}/seen.txt"
     "tree=${CMAKE_CURRENT_SOURCE_DIR}\\ntoolchain=${CMAKE_TOOLCHAIN_FILE}\\nlauncher=${CMAKE_C_COMPILER_LAUNCHER}\\n")
execute_process(COMMAND env OUTPUT_FILE "${CMAKE_BINARY_DIR}/env.txt")
if(GO_EXECUTABLE)
  execute_process(COMMAND "${GO_EXECUTABLE}" env OUTPUT_FILE "${CMAKE_BINARY_DIR}/go-env.txt")
endif()
message(FATAL_ERROR "the stand-in stops here")
"""
# What an outside review set around a build, each expected to change it.
HOSTILE = {"CFLAGS": "-include /planted.h", "CPATH": "/planted", "C_INCLUDE_PATH": "/planted",
           "GCC_EXEC_PREFIX": "/planted/", "PERL5OPT": "-Mplanted", "ASM": "/planted/as",
           "CMAKE_C_COMPILER_LAUNCHER": "/planted/launcher", "GOFLAGS": "-toolexec=/planted/x",
           "GOROOT": "/planted/go", "AWSLC_PREFIX_SYMBOLS": "/planted/names",
           "AWSLC_NM": "/planted/nm", "PYTHONPATH": "/planted"}


def hostile_env(tmp_path):
    planted_tree = write_tree(tmp_path / "planted-tree")
    (planted_tree / "CMakeLists.txt").write_text(STANDIN_CMAKE)
    toolchain = tmp_path / "toolchain.cmake"
    toolchain.write_text(f'file(APPEND "{tmp_path}/toolchain-ran" "${{CMAKE_SOURCE_DIR}}\\n")\n')
    bash_env = tmp_path / "bash-env.sh"
    bash_env.write_text(f'echo "$0" >>"{tmp_path}/bash-env-ran"\n')
    return {**HOSTILE, "AWSLC_TREE": str(planted_tree), "AWSLC_TOOLCHAIN": str(toolchain),
            "CMAKE_TOOLCHAIN_FILE": str(toolchain), "BASH_ENV": str(bash_env),
            "BASH_FUNC_cmake%%": "() { echo planted >&2; }"}


def assert_unsteered(tmp_path, build, tree):
    seen = dict(line.split("=", 1) for line in (build / "seen.txt").read_text().splitlines())
    assert seen == {"tree": str(tree), "toolchain": "", "launcher": ""}
    env = (build / "env.txt").read_text()
    assert "planted" not in env and str(tmp_path / "toolchain.cmake") not in env and "BASH_ENV" not in env
    assert not (tmp_path / "toolchain-ran").exists() or str(tree) not in (tmp_path / "toolchain-ran").read_text()
    assert not (tmp_path / "bash-env-ran").exists() or "build-awslc" not in (tmp_path / "bash-env-ran").read_text()


def test_the_environment_does_not_reach_the_verified_trees_build(tmp_path):
    """AWSLC_TREE, toolchain files, launchers, compiler and Go settings of the caller's: none
    reaches the build of the verified tree; Go runs without its env file, proxy or toolchain switch."""
    tree = write_tree(tmp_path / "verified" / TOP,
                      {**FILES, "include/openssl/base.h": f'#define AWSLC_VERSION_NUMBER_STRING "{source.VERSION}"\n'.encode()})
    (tree / "CMakeLists.txt").write_text(STANDIN_CMAKE)
    goroot = tmp_path / "goroot"
    (goroot / "src/runtime").mkdir(parents=True)
    go = tmp_path / "go"
    go.write_text(f'#!/bin/sh\nif [ "$1 $2" = "env GOROOT" ]; then echo {goroot}; else env; fi\n')
    go.chmod(0o755)
    names = tmp_path / "names.txt"
    names.write_text("FIPS_mode\n")
    env = {**os.environ, **hostile_env(tmp_path)}
    env.pop("CORE_FIPS_PYELFTOOLS", None)
    out = subprocess.run(["bash", "-p", str(ROOT / "setup/build-awslc.sh"), "--go", str(go), "--prefix-symbols", str(names),
                          "--pyelftools", os.environ.get("CORE_FIPS_PYELFTOOLS", ""),
                          str(tmp_path / "verified"), str(tmp_path / "work"), str(tmp_path / "final/prefix"), "p", source.VERSION],
                         env=env, capture_output=True, text=True, timeout=300)
    if "cannot import pyelftools" in out.stderr:
        pytest.skip("no pyelftools for the build's check (tools/test provides CORE_FIPS_PYELFTOOLS)")
    assert out.returncode != 0 and "the stand-in stops here" in out.stderr, out.stderr[-2000:]
    assert_unsteered(tmp_path, tmp_path / "work/build", tree)
    go_env = dict(line.split("=", 1) for line in (tmp_path / "work/build/go-env.txt").read_text().splitlines() if "=" in line)
    assert {k: go_env.get(k) for k in ("GOENV", "GOFLAGS", "GOPROXY", "GOTOOLCHAIN", "CGO_ENABLED", "GOROOT")} == {
        "GOENV": "off", "GOFLAGS": "-mod=readonly", "GOPROXY": "off", "GOTOOLCHAIN": "local", "CGO_ENABLED": "0",
        "GOROOT": str(goroot)}


# ------------------------------------------------------------------ a build from the sdist
@pytest.fixture
def project(tmp_path):
    """A project that builds AWS-LC as the sdist does (cmake/awslc-from-source.cmake, setup/), from
    a stand-in of the bundled Debian AWS-LC source whose CMakeLists.txt records what it was given."""
    proj = tmp_path / "project"
    proj.mkdir()
    for folder in ("setup", "cmake"):
        (proj / folder).symlink_to(ROOT / folder, target_is_directory=True)
    (proj / "CMakeLists.txt").write_text("cmake_minimum_required(VERSION 3.18)\nproject(p C CXX)\n"
                                         "include(cmake/awslc-from-source.cmake)\n")
    crate = proj / "third_party" / PINS["DEBIAN_AWSLC_CRATE"]
    write_tree(crate / "aws-lc", {"CMakeLists.txt": (f'set(SOFTWARE_VERSION "{PINS["DEBIAN_AWSLC_VERSION"]}")\n' + STANDIN_CMAKE).encode()})
    for name in ("boringssl_prefix_symbols.h", "boringssl_prefix_symbols_asm.h", "boringssl_prefix_symbols_nasm.inc"):
        write_tree(crate / "generated-include/openssl", {name: b"#define BORINGSSL_PREFIX aws_lc_0_42_0\n"})
    return proj


def configure(project, build, env):
    return subprocess.run(["cmake", "-S", str(project), "-B", str(build), f"-DPython_EXECUTABLE={sys.executable}"],
                          env=env, capture_output=True, text=True, timeout=300)


def test_a_shared_build_folder_others_can_write_is_refused(project, tmp_path):
    shared = tmp_path / "shared"
    (shared / "core-fips-awslc/prefix/lib").mkdir(parents=True)
    (shared / "core-fips-awslc/prefix/lib/libcrypto-awslc.so.0").write_text("planted")
    os.chmod(shared / "core-fips-awslc", 0o777)
    env = {**os.environ, "CORE_FIPS_AWSLC_BUILD_DIR": str(shared)}
    out = configure(project, tmp_path / "build", env)
    assert out.returncode != 0
    ours = [line for line in out.stderr.splitlines() if line.startswith("awslc_source.py: refused: ")]
    assert ours == [f"awslc_source.py: refused: {shared}/core-fips-awslc: writable by others (mode 0777)"], out.stderr
    if os.getuid() == 0:  # another user's folder, closed to others
        os.chmod(shared / "core-fips-awslc", 0o755)
        os.chown(shared / "core-fips-awslc", 65534, 65534)
        out = configure(project, tmp_path / "build", env)
        assert f"{shared}/core-fips-awslc: owned by uid 65534, not by you (uid 0) or root" in out.stderr


def test_a_reused_build_must_be_the_one_built_there(project, tmp_path):
    """The same inputs (the stamp) reuse a folder's build only if its prefix is still what its
    manifest lists under that stamp: the library, and the record and headers with it."""
    env = {**os.environ, "CORE_FIPS_AWSLC_BUILD_DIR": str(tmp_path / "shared")}
    (tmp_path / "shared").mkdir()
    configure(project, tmp_path / "build", env)  # fails at the stand-in: the compilers are known
    (compiler,) = (tmp_path / "build/CMakeFiles").glob("*/CMakeCCompiler.cmake")
    (cxx,) = (tmp_path / "build/CMakeFiles").glob("*/CMakeCXXCompiler.cmake")
    known = {}
    for f, lang in ((compiler, "C"), (cxx, "CXX")):
        for line in f.read_text().splitlines():
            for key in (f"CMAKE_{lang}_COMPILER", f"CMAKE_{lang}_COMPILER_VERSION"):
                if line.startswith(f'set({key} "'):
                    known[key] = line.split('"')[1]
    crate = project / "third_party" / PINS["DEBIAN_AWSLC_CRATE"]
    files = sorted(p.relative_to(crate).as_posix() for p in crate.rglob("*") if p.is_file())
    listing = "".join(f"{hashlib.sha256((crate / f).read_bytes()).hexdigest()} {f}\n" for f in files)
    stamp = hashlib.sha256(listing.encode()).hexdigest() + "".join(
        "|" + hashlib.sha256((ROOT / "setup" / f).read_bytes()).hexdigest() for f in ("build-awslc.sh", "inject_hash.py", "go-shim"))
    # The symbol prefix, the compilers' versions, then each tool by path and SHA-256 (perl too).
    stamp += f"|{PINS['DEBIAN_AWSLC_PREFIX']}|{known['CMAKE_C_COMPILER_VERSION']}|{known['CMAKE_CXX_COMPILER_VERSION']}"
    tools = [known["CMAKE_C_COMPILER"], known["CMAKE_CXX_COMPILER"], shutil.which("perl")]
    stamp += "".join(f"|{os.path.realpath(t)} {hashlib.sha256(Path(os.path.realpath(t)).read_bytes()).hexdigest()}"
                     for t in tools)
    folder = tmp_path / "shared/core-fips-awslc"
    (folder / "prefix/lib").mkdir(parents=True, exist_ok=True)
    (folder / "prefix/share/core-fips").mkdir(parents=True)
    (folder / "stamp").write_text(stamp)
    (folder / "prefix/lib/libcrypto-awslc.so.0").write_bytes(b"built")
    (folder / "prefix/share/core-fips/library.sha256").write_text(hashlib.sha256(b"built").hexdigest() + "\n")
    (folder / "prefix/include/openssl").mkdir(parents=True)
    (folder / "prefix/include/openssl/base.h").write_text("/* built */\n")
    source.write_manifest(folder / "prefix", stamp)
    out = configure(project, tmp_path / "build", env)
    assert f"reusing the build in {folder}" in out.stdout, out.stdout[-2000:] + out.stderr[-2000:]
    for edited, planted in (("lib/libcrypto-awslc.so.0", b"planted"), ("include/openssl/base.h", b"/* planted */\n"),
                            ("share/core-fips/library.sha256", hashlib.sha256(b"planted").hexdigest().encode())):
        kept = (folder / "prefix" / edited).read_bytes()
        (folder / "prefix" / edited).write_bytes(planted)
        out = configure(project, tmp_path / "build", env)
        assert out.returncode != 0 and "reusing" not in out.stdout, edited
        said = " ".join(out.stderr.split())
        assert f"refused to reuse {folder}: it is not what was built there" in said and edited in said, said[-1500:]
        (folder / "prefix" / edited).write_bytes(kept)


def test_a_build_folder_is_made_fresh_or_refused_when_a_link(tmp_path, capsys):
    folder = Path(source.build_folder(str(tmp_path), "core-fips-awslc"))
    assert folder.is_dir() and stat.S_IMODE(folder.stat().st_mode) & 0o002 == 0
    (folder / "link").symlink_to(tmp_path, target_is_directory=True)
    assert "link: not a folder" in refusal(capsys, "build-folder", folder, "link")


def test_the_sdist_build_of_awslc_takes_nothing_from_the_environment(project, tmp_path):
    if not os.environ.get("CORE_FIPS_PYELFTOOLS"):
        pytest.skip("no pyelftools for the build's check (tools/test provides CORE_FIPS_PYELFTOOLS)")
    # The project's own compiles take a packager's settings; those that would stop them are left out.
    env = {**os.environ, **hostile_env(tmp_path), "PYTHONPATH": os.environ["CORE_FIPS_PYELFTOOLS"],
           "CFLAGS": "-Dplanted"}
    for name in ("CMAKE_C_COMPILER_LAUNCHER", "GCC_EXEC_PREFIX"):
        env.pop(name)
    out = configure(project, tmp_path / "build", env)
    assert out.returncode != 0 and "the stand-in stops here" in out.stdout + out.stderr, out.stdout[-2000:] + out.stderr[-2000:]
    (build,) = (tmp_path / "build/awslc/work").glob("build")
    crate = tmp_path / "build/awslc/work/src/usr/share/cargo/registry" / PINS["DEBIAN_AWSLC_CRATE"] / "aws-lc"
    assert_unsteered(tmp_path, build, crate)
