#!/usr/bin/env python3
"""Installs a build into a fresh prefix and builds the C host against the installed tree twice,
through pkg-config and through find_package, then runs both.
Arguments: NAME=VALUE pairs, as tests/CMakeLists.txt passes them."""
import os, re, shutil, subprocess, sys

a = dict(arg.split("=", 1) for arg in sys.argv[1:])
here = os.path.dirname(os.path.abspath(__file__))
work, lib = a["work"], a["libdir"] + "/"
prefix = os.path.join(work, "prefix")
sanitizer = a["sanitizer_flags"].split()


def run(*cmd, env=None):
    r = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, **(env or {})))
    if r.returncode != 0:
        sys.exit("%s failed (%d):\n%s%s" % (" ".join(cmd), r.returncode, r.stdout, r.stderr))
    return r.stdout


def expect(condition, what):
    condition or sys.exit("FAILED: " + what)


shutil.rmtree(work, ignore_errors=True)
run(a["cmake"], "--install", a["build"], "--prefix", prefix)

# Product artefacts only: no test program, no simulation library, no test key.
files = sorted(os.path.relpath(os.path.join(d, f), prefix) for d, _, fs in os.walk(prefix) for f in fs)
package = lib + "cmake/TallowmarchCore/TallowmarchCore"
expected = ["bin/tallowmarch_updater", "include/tallowmarch/core.h", lib + "libtallowmarch_core.so",
            lib + "libtallowmarch_core.so.0", lib + "libtallowmarch_core.so.0.1.1",
            lib + "pkgconfig/tallowmarch-core.pc", package + "Config.cmake",
            package + "ConfigVersion.cmake", package + "Targets.cmake",
            package + "Targets-%s.cmake" % a["config"]]
expect(files == sorted(expected), "installed %s" % files)
inc = open(a["test_key_dir"] + "/update_public_key.inc").read()
test_key = [bytes(int(v, 16) for v in re.findall(r"0x([0-9a-f]{2}),", inc)),
            bytes.fromhex(open(a["test_key_dir"] + "/update_public_key.hex").read().strip())]
for f in files:
    data = open(os.path.join(prefix, f), "rb").read()
    expect(all(len(k) == 32 and k not in data for k in test_key), "the test key is in " + f)
soname = run(a["readelf"], "-d", os.path.join(prefix, lib, "libtallowmarch_core.so.0.1.1"))
expect("Library soname: [libtallowmarch_core.so.0]" in soname, "SONAME:\n" + soname)

# The same host built the two ways a host's build finds the engine.
env = {"PKG_CONFIG_PATH": os.path.join(prefix, lib, "pkgconfig")}
flags = run(a["pkg_config"], "--cflags", "--libs", "tallowmarch-core", env=env).split()
libdir = run(a["pkg_config"], "--variable=libdir", "tallowmarch-core", env=env).strip()
pkg_config_host = os.path.join(work, "pkg_config_host")
run(a["cc"], "-std=c99", "-pedantic-errors", "-Wall", "-Wextra", "-Werror", *sanitizer,
    os.path.join(here, "version_host.c"), "-o", pkg_config_host, *flags, "-Wl,-rpath," + libdir)
consumer = os.path.join(work, "consumer")
run(a["cmake"], "-S", os.path.join(here, "consumer"), "-B", consumer, "-G", a["generator"],
    "-DCMAKE_C_COMPILER=" + a["cc"], "-DCMAKE_PREFIX_PATH=" + prefix,
    "-DCMAKE_C_FLAGS=" + " ".join(sanitizer))
run(a["cmake"], "--build", consumer)

for host in (pkg_config_host, os.path.join(consumer, "version_host")):
    expect(run(host) == "0.1.1\n", host + " reports the version")
    loaded = re.search(r"libtallowmarch_core\.so\.0 => (\S+)", run("ldd", host))
    expect(loaded and os.path.realpath(os.path.dirname(loaded.group(1))) ==
           os.path.realpath(os.path.join(prefix, lib)), host + " loads the installed library")
print("install consumer: both hosts built against %s and run" % prefix)
