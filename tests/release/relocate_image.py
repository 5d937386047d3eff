#!/usr/bin/python3
"""Writes a copy of a PE32 or PE32+ image moved to another base, as the loader moves it when ASLR places it
elsewhere: every fixup of its own .reloc table applied, the new ImageBase in the header, and the
copy stripped of DYNAMIC_BASE so that the loader keeps it at that base rather than moving it again.

usage: relocate_image.py IMAGE.exe NEW_BASE COPY.exe
"""
import sys

import pefile

IMAGE_REL_BASED_ABSOLUTE = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]
IMAGE_REL_BASED_HIGHLOW = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]
IMAGE_REL_BASED_DIR64 = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_DIR64"]
DYNAMIC_BASE = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"]


def main(image_path, new_base_text, copy_path):
    new_base = int(new_base_text, 0)
    # Only the relocation table is parsed: pefile writes every structure it parsed back over the
    # data, which would undo the fixups inside them (the TLS directory holds four).
    pe = pefile.PE(image_path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]])
    header = pe.OPTIONAL_HEADER
    # A 32-bit image's fixups are 32-bit addresses, a 64-bit image's 64-bit ones.
    if header.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE:
        fixup_type, get, put, mask = IMAGE_REL_BASED_HIGHLOW, pe.get_dword_at_rva, pe.set_dword_at_rva, 0xFFFFFFFF
    elif header.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
        fixup_type, get, put, mask = IMAGE_REL_BASED_DIR64, pe.get_qword_at_rva, pe.set_qword_at_rva, 0xFFFFFFFFFFFFFFFF
    else:
        sys.exit(f"{image_path}: neither a PE32 nor a PE32+ image")
    if not hasattr(pe, "DIRECTORY_ENTRY_BASERELOC"):
        sys.exit(f"{image_path}: no base relocations, so the image can only run at its own base")
    if not 0 < new_base <= mask - header.SizeOfImage:
        sys.exit(f"{new_base:#x}: the image does not fit there")
    if new_base % 0x10000 or new_base == header.ImageBase:
        sys.exit(f"{new_base:#x}: the new base must be 64 KiB aligned and differ from {header.ImageBase:#x}")

    old_base = header.ImageBase
    delta = (new_base - old_base) & mask
    fixups = 0
    for block in pe.DIRECTORY_ENTRY_BASERELOC:
        for entry in block.entries:
            if entry.type == IMAGE_REL_BASED_ABSOLUTE:  # padding to the block's end
                continue
            if entry.type != fixup_type:
                sys.exit(f"{image_path}: relocation type {entry.type} at {entry.rva:#x} is not one this image's format uses")
            # A fixup in bytes the file does not hold (.bss) would be lost here; the linker emits none.
            if pe.get_offset_from_rva(entry.rva) is None:
                sys.exit(f"{image_path}: relocation at {entry.rva:#x} lies outside the file's data")
            put(entry.rva, (get(entry.rva) + delta) & mask)
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
