#!/usr/bin/env python3
"""Checks kernel images against the kernel exports of a Wine installation.

    check_wine_imports.py WINE-PE-DIR IMAGE...

WINE-PE-DIR holds Wine's PE builds of ntoskrnl.exe and hal.dll (for example
/usr/lib/x86_64-linux-gnu/wine/x86_64-windows). For every function an image
imports from ntoskrnl.exe or hal.dll the check reports:

- FAIL missing: Wine does not export it; the image would not load.
- FAIL stub: Wine exports only a generated stub that raises an exception
  when called (its symbol table names it __wine_stub_NAME).
- FAIL partial: Wine implements it in a way this driver cannot rely on
  (see PARTIAL below) and the driver has no answer for it.
- NOTE partial: Wine implements it partly, and the driver does not depend on
  what is missing (the reason is printed).

Exit status 0 when nothing failed.
"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import peimage  # noqa: E402

DIR_EXPORT = 0

# Exports that Wine 8 implements only in part, with what that means for the
# driver. `ok` entries are printed as notes; the others fail the check.
PARTIAL = {
    "KeFlushQueuedDpcs": ("ok", "does nothing, so a rescan DPC already running at removal is not waited for; "
                                "the bus's DPC only invalidates its relations, which Wine queues"),
    "KeInitializeDpc": ("ok", "semi-stub: only timer DPCs run, from a thread pool, not at DISPATCH_LEVEL"),
    "KeSetTimer": ("ok", "the DPC runs from a thread-pool timer callback at PASSIVE_LEVEL"),
    "PoStartNextPowerIrp": ("ok", "no-op; Wine sends no power requests"),
    "PoSetPowerState": ("ok", "no-op; Wine keeps no power state"),
    "PoCallDriver": ("ok", "same as IoCallDriver; Wine sends no power requests"),
    "PoRequestPowerIrp": ("unsafe", "Wine sends no power requests, so the completion routine would never run"),
}


def exports(image):
    """Export names of an image: {name: rva}; forwarders map to None."""
    rva, size = image.directories[DIR_EXPORT]
    out = {}
    if rva == 0 or size == 0:
        return out
    header = image.read(rva, 40)
    (_, _, _, _, _, _, nfunctions, nnames, functions, names, ordinals) = struct.unpack_from("<IIHHIIIIIII", header)
    for i in range(nnames):
        name_rva = struct.unpack_from("<I", image.read(names + 4 * i, 4))[0]
        ordinal = struct.unpack_from("<H", image.read(ordinals + 2 * i, 2))[0]
        target = struct.unpack_from("<I", image.read(functions + 4 * ordinal, 4))[0] if ordinal < nfunctions else 0
        out[image.read_cstring(name_rva)] = None if rva <= target < rva + size else target
    return out


def imports(image):
    """(dll, function) pairs an image imports by name."""
    rva, size = image.directories[peimage.DIR_IMPORT]
    out = []
    if rva == 0 or size == 0:
        return out
    index = 0
    while True:
        desc = image.read(rva + 20 * index, 20)
        if desc == b"\0" * 20:
            return out
        lookup, _, _, name_rva, thunks = struct.unpack_from("<IIIII", desc)
        dll = image.read_cstring(name_rva)
        table = lookup or thunks
        slot = 0
        while True:
            entry = struct.unpack_from("<Q", image.read(table + 8 * slot, 8))[0]
            if entry == 0:
                break
            if entry & (1 << 63):
                out.append((dll, "#%d" % (entry & 0xFFFF)))
            else:
                out.append((dll, image.read_cstring((entry & 0x7FFFFFFF) + 2)))
            slot += 1
        index += 1


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    wine_dir = argv[1]
    kernel = {}
    for dll in ("ntoskrnl.exe", "hal.dll"):
        path = os.path.join(wine_dir, dll)
        if not os.path.exists(path):
            print("FAIL %s: Wine's %s is not in %s" % (dll, dll, wine_dir))
            return 1
        image = peimage.Image.load(path)
        names = exports(image)
        stubs = {name[len("__wine_stub_"):] for name in image.symbols() if name.startswith("__wine_stub_")}
        kernel[dll] = (names, stubs)
    failures = 0
    for path in argv[2:]:
        label = os.path.basename(path)
        image = peimage.Image.load(path)
        count = 0
        for dll, function in imports(image):
            key = dll.lower()
            if key not in kernel:
                print("FAIL %s: imports %s from %s, which Wine's kernel does not provide" % (label, function, dll))
                failures += 1
                continue
            count += 1
            names, stubs = kernel[key]
            if function not in names:
                print("FAIL %s: %s!%s is missing in Wine" % (label, dll, function))
                failures += 1
            elif function in stubs:
                print("FAIL %s: %s!%s is a stub in Wine (raises an exception when called)" % (label, dll, function))
                failures += 1
            elif function in PARTIAL:
                verdict, reason = PARTIAL[function]
                if verdict == "ok":
                    print("NOTE %s: %s is partial in Wine: %s" % (label, function, reason))
                else:
                    print("FAIL %s: %s is partial in Wine: %s" % (label, function, reason))
                    failures += 1
        print("%s: %d kernel imports checked" % (label, count))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
