#!/usr/bin/python3
"""Writes a copy of a PE32 image moved to another base, as the loader moves it when ASLR places it
elsewhere: every fixup of its own .reloc table applied, the new ImageBase in the header, and the
copy stripped of DYNAMIC_BASE so that the loader keeps it at that base rather than moving it again.

usage: relocate_image.py IMAGE.exe NEW_BASE COPY.exe
"""
import sys

import pefile

IMAGE_REL_BASED_ABSOLUTE = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]
IMAGE_REL_BASED_HIGHLOW = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]
DYNAMIC_BASE = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"]


def main(image_path, new_base_text, copy_path):
    new_base = int(new_base_text, 0)
    pe = pefile.PE(image_path)
    header = pe.OPTIONAL_HEADER
    if header.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE:
        sys.exit(f"{image_path}: not a PE32 image")
    if not hasattr(pe, "DIRECTORY_ENTRY_BASERELOC"):
        sys.exit(f"{image_path}: no base relocations, so the image can only run at its own base")
    if new_base % 0x10000 or new_base == header.ImageBase:
        sys.exit(f"{new_base:#x}: the new base must be 64 KiB aligned and differ from {header.ImageBase:#x}")

    old_base = header.ImageBase
    delta = (new_base - old_base) & 0xFFFFFFFF
    fixups = 0
    for block in pe.DIRECTORY_ENTRY_BASERELOC:
        for entry in block.entries:
            if entry.type == IMAGE_REL_BASED_ABSOLUTE:  # padding to the block's end
                continue
            if entry.type != IMAGE_REL_BASED_HIGHLOW:
                sys.exit(f"{image_path}: relocation type {entry.type} at {entry.rva:#x} is not one a PE32 x86 image uses")
            # A fixup in bytes the file does not hold (.bss) would be lost here; the linker emits none.
            if pe.get_offset_from_rva(entry.rva) is None:
                sys.exit(f"{image_path}: relocation at {entry.rva:#x} lies outside the file's data")
            value = pe.get_dword_at_rva(entry.rva)
            pe.set_dword_at_rva(entry.rva, (value + delta) & 0xFFFFFFFF)
            fixups += 1

    header.ImageBase = new_base
    header.DllCharacteristics &= ~DYNAMIC_BASE
    header.CheckSum = pe.generate_checksum()
    pe.write(copy_path)
    print(f"relocated {fixups} fixups from {old_base:#x} to {new_base:#x}")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__.strip().splitlines()[-1])
    main(*sys.argv[1:])
