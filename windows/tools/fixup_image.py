#!/usr/bin/env python3
"""Post-link fix-up of a kernel image.

GNU ld gives the INIT and PAGE sections the plain flags of code. The kernel
loader frees a discardable INIT after the entry point returns and pages PAGE*
sections by name, so INIT gets IMAGE_SCN_MEM_DISCARDABLE and no PAGE section
may carry IMAGE_SCN_MEM_NOT_PAGED. The image checksum is recomputed last.

usage: fixup_image.py IMAGE
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peimage  # noqa: E402


def fix(path):
    image = peimage.Image.load(path)
    for s in image.sections:
        if s.name == "INIT":
            image.set_section_flags(s, s.flags | peimage.IMAGE_SCN_MEM_DISCARDABLE)
        elif s.name.startswith("PAGE"):
            image.set_section_flags(s, s.flags & ~(peimage.IMAGE_SCN_MEM_NOT_PAGED
                                                   | peimage.IMAGE_SCN_MEM_DISCARDABLE))
    image.update_checksum()
    image.save(path)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    try:
        fix(sys.argv[1])
    except (OSError, peimage.ImageError) as e:
        sys.exit("fixup_image: %s: %s" % (sys.argv[1], e))
