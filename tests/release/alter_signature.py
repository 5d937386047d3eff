#!/usr/bin/python3
"""Changes a signed program as someone without the signer's key could, in ways no signing tool offers,
keeping the header's checksum and the signature table's directory entry right, so that only what was
added differs:

  second-entry SIGNED OUTPUT                   a second copy of the signature in the certificate table
  unsigned-attribute OID SIGNED OUTPUT         an unsigned attribute OID beside the signature, holding
                                               the signer's own SignerInfo (as a countersignature would)
  transplant DONOR SIGNED OUTPUT [--attributes]
                                               DONOR's program, carrying SIGNED's signature with the
                                               signed content (the program's digest) taken from DONOR's
                                               signature, and with --attributes the signed attributes'
                                               digest of that content too, as a forger would make them agree

usage: alter_signature.py second-entry|unsigned-attribute OID|transplant DONOR [SIGNED.exe] OUTPUT.exe [--attributes]
"""
import hashlib
import struct
import sys
from pathlib import Path

import pefile
from asn1crypto import cms, core

SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


def with_table(data, table):
    """The program part of a signed file with another certificate table after it."""
    pe = pefile.PE(data=data, fast_load=True)
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY]
    start = directory.VirtualAddress
    changed = bytearray(data[:start]) + table
    struct.pack_into("<II", changed, directory.get_file_offset(), start, len(table))
    checksum = pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
    struct.pack_into("<I", changed, checksum, pefile.PE(data=bytes(changed), fast_load=True).generate_checksum())
    return bytes(changed)


def table_of(data):
    directory = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY]
    return data[directory.VirtualAddress:directory.VirtualAddress + directory.Size]


def entry(signature):
    length = (8 + len(signature) + 7) & ~7
    return (struct.pack("<IHH", length, 0x0200, 0x0002) + signature).ljust(length, b"\0")


def main(operation, *arguments):
    if operation == "second-entry" and len(arguments) == 2:
        signed, output = arguments
        data = Path(signed).read_bytes()
        changed = with_table(data, table_of(data) * 2)
    elif operation == "unsigned-attribute" and len(arguments) == 3:
        oid, signed, output = arguments
        data = Path(signed).read_bytes()
        info = cms.ContentInfo.load(table_of(data)[8:], strict=False)
        signer = info["content"]["signer_infos"][0]
        added = cms.CMSAttribute({"type": cms.CMSAttributeType(oid), "values": [cms.SignerInfo.load(signer.dump())]})
        present = [] if isinstance(signer["unsigned_attrs"], core.Void) else list(signer["unsigned_attrs"])
        signer["unsigned_attrs"] = cms.CMSAttributes(present + [added])
        changed = with_table(data, entry(info.dump(force=True)))
    elif operation == "transplant" and len(arguments) in (3, 4):
        donor, signed, output, *attributes = arguments
        data = Path(donor).read_bytes()
        info = cms.ContentInfo.load(table_of(Path(signed).read_bytes())[8:], strict=False)
        donated = cms.ContentInfo.load(table_of(data)[8:], strict=False)["content"]["encap_content_info"]
        info["content"]["encap_content_info"] = cms.ContentInfo.load(donated.dump())
        if attributes == ["--attributes"]:
            digest = hashlib.sha256(donated["content"].contents).digest()
            for attribute in info["content"]["signer_infos"][0]["signed_attrs"]:
                if attribute["type"].native == "message_digest":
                    attribute["values"] = [core.OctetString(digest)]
        changed = with_table(data, entry(info.dump(force=True)))
    else:
        sys.exit(__doc__.strip().splitlines()[-1])
    Path(output).write_bytes(changed)


if __name__ == "__main__":
    main(*sys.argv[1:])
