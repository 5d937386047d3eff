#!/usr/bin/python3
"""Changes a signed program as a forger could, in ways no signing tool offers, keeping the header's
checksum and the signature table's directory entry right, so that only what the operation names
differs. Operations that change what the signer signed sign it again with KEY, as the signer's key
would.

  second-entry                  a second copy of the signature in the certificate table
  entry-length                  the table entry's length field 0, too small to hold even its own header
  entry-revision                the table entry's revision another than Authenticode's
  unsigned-attribute OID        an unsigned attribute OID beside the signature, holding the signer's own
                                SignerInfo (as a countersignature would)
  revocation-data               revocation data (an "other" format) in the signature
  other-certificate             a certificate in another format than X.509 in the signature
  no-certificates               the signature without its certificates
  not-signed-data               the signature's content type, data in place of signed data
  content-type                  the signed content's type another than a program's
  token-unsigned-attribute      an unsigned attribute in the time-stamp token's signer
  token-certificate PEM         another certificate in the time-stamp token
  transplant DONOR [--attributes]
                                (the options before INPUT) DONOR's program, carrying the signature with the signed content (the
                                program's digest) taken from DONOR's signature, and with --attributes the
                                attributes' digest of it too, as a forger would make them agree
  two-descriptions KEY          a second description attribute, signed again with KEY
  pss KEY                       the attributes signed again with KEY under RSA-PSS
  no-version-information        the program (unsigned) without its resources, so without a name

usage: alter_signature.py OPERATION [ARGUMENT...] INPUT.exe OUTPUT.exe
"""
import hashlib
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import pefile
from asn1crypto import algos, cms, core, pem, x509

SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
RESOURCE_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]
SPC_SP_OPUS_INFO = "1.3.6.1.4.1.311.2.1.12"
RFC3161_TIME_STAMP = "1.3.6.1.4.1.311.3.3.1"


def with_checksum(data):
    pe = pefile.PE(data=bytes(data), fast_load=True)
    struct.pack_into("<I", data, pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum"), pe.generate_checksum())
    return bytes(data)


def with_table(data, table):
    """The program part of a signed file with another certificate table after it."""
    directory = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY]
    start = directory.VirtualAddress
    changed = bytearray(data[:start]) + table
    struct.pack_into("<II", changed, directory.get_file_offset(), start, len(table))
    return with_checksum(changed)


def table_of(data):
    directory = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY]
    return data[directory.VirtualAddress:directory.VirtualAddress + directory.Size]


def entry(signature):
    length = (8 + len(signature) + 7) & ~7
    return (struct.pack("<IHH", length, 0x0200, 0x0002) + signature).ljust(length, b"\0")


def signature_of(data):
    return cms.ContentInfo.load(table_of(data)[8:], strict=False)


def sign_again(info, key, pss=False):
    """The signer's attributes signed again with its key, by openssl, as DER of a SET OF."""
    signer = info["content"]["signer_infos"][0]
    with tempfile.TemporaryDirectory() as folder:
        attributes = Path(folder, "attributes.der")
        attributes.write_bytes(b"\x31" + signer["signed_attrs"].dump(force=True)[1:])
        options = ["-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:32"] if pss else []
        signer["signature"] = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, *options, str(attributes)],
                                             check=True, capture_output=True).stdout
    if pss:
        signer["signature_algorithm"] = algos.SignedDigestAlgorithm({
            "algorithm": "rsassa_pss", "parameters": algos.RSASSAPSSParams({
                "hash_algorithm": {"algorithm": "sha256"},
                "mask_gen_algorithm": {"algorithm": "mgf1", "parameters": {"algorithm": "sha256"}},
                "salt_length": 32})})


def changed_signature(operation, arguments, info, data):
    signed_data = info["content"]
    signer = signed_data["signer_infos"][0]
    if operation == "unsigned-attribute":
        present = [] if isinstance(signer["unsigned_attrs"], core.Void) else list(signer["unsigned_attrs"])
        added = cms.CMSAttribute({"type": cms.CMSAttributeType(arguments[0]), "values": [cms.SignerInfo.load(signer.dump())]})
        signer["unsigned_attrs"] = cms.CMSAttributes(present + [added])
    elif operation == "revocation-data":
        signed_data["crls"] = cms.RevocationInfoChoices([cms.RevocationInfoChoice(name="other", value={
            "other_rev_info_format": "1.2.3.4", "other_rev_info": core.OctetString(b"added without the key")})])
    elif operation == "other-certificate":
        signed_data["certificates"] = cms.CertificateSet(list(signed_data["certificates"]) + [cms.CertificateChoices(
            name="other", value={"other_cert_format": "1.2.3.4", "other_cert": core.OctetString(b"added without the key")})])
    elif operation == "no-certificates":
        signed_data["certificates"] = cms.CertificateSet([])
    elif operation == "not-signed-data":
        return cms.ContentInfo({"content_type": "data", "content": core.OctetString(info.dump())})
    elif operation == "content-type":
        signed_data["encap_content_info"]["content_type"] = "1.2.3.4"
    elif operation in ("token-unsigned-attribute", "token-certificate"):
        token = next(a for a in signer["unsigned_attrs"] if a["type"].dotted == RFC3161_TIME_STAMP)["values"][0]
        if operation == "token-unsigned-attribute":
            token["content"]["signer_infos"][0]["unsigned_attrs"] = cms.CMSAttributes(
                [{"type": "1.2.3.4", "values": [core.OctetString(b"added without the key")]}])
        else:
            stranger = x509.Certificate.load(pem.unarmor(Path(arguments[0]).read_bytes())[2])
            token["content"]["certificates"] = cms.CertificateSet(list(token["content"]["certificates"]) + [stranger])
    elif operation == "transplant":
        donated = signature_of(data)["content"]["encap_content_info"]
        signed_data["encap_content_info"] = cms.ContentInfo.load(donated.dump())
        if arguments[1:] == ["--attributes"]:
            digest = hashlib.sha256(donated["content"].contents).digest()
            for attribute in signer["signed_attrs"]:
                if attribute["type"].native == "message_digest":
                    attribute["values"] = [core.OctetString(digest)]
    elif operation == "two-descriptions":
        opus = next(a for a in signer["signed_attrs"] if a["type"].dotted == SPC_SP_OPUS_INFO)
        signer["signed_attrs"] = cms.CMSAttributes(list(signer["signed_attrs"]) + [cms.CMSAttribute.load(opus.dump())])
        sign_again(info, arguments[0])
    elif operation == "pss":
        sign_again(info, arguments[0], pss=True)
    return info


def main(operation, *arguments):
    *arguments, source, output = arguments
    data = Path(source).read_bytes()
    if operation == "second-entry":
        changed = with_table(data, table_of(data) * 2)
    elif operation in ("entry-length", "entry-revision"):
        table = bytearray(table_of(data))
        if operation == "entry-length":
            struct.pack_into("<I", table, 0, 0)
        else:
            struct.pack_into("<H", table, 4, 0x0100)
        changed = with_table(data, bytes(table))
    elif operation == "no-version-information":
        pe = pefile.PE(data=data, fast_load=True)
        changed = bytearray(data)
        struct.pack_into("<II", changed, pe.OPTIONAL_HEADER.DATA_DIRECTORY[RESOURCE_DIRECTORY].get_file_offset(), 0, 0)
        changed = with_checksum(changed)
    else:
        # transplant takes its donor as the first argument and signs its program.
        donor = Path(arguments[0]).read_bytes() if operation == "transplant" else data
        info = signature_of(data)
        changed = with_table(donor, entry(changed_signature(operation, arguments, info, donor).dump(force=True)))
    Path(output).write_bytes(changed)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__.strip().splitlines()[-1])
    main(*sys.argv[1:])
