#!/usr/bin/python3
"""Reads a Windows program image and its Authenticode signature with parsers made for them (pefile
for the image, asn1crypto for the signature's structures), for the release scripts and the emulated
guest's wine.sh. The cryptographic verdicts are openssl's: a signature over the signed attributes, a
certificate chain, a time-stamp token; each is taken from its exit status, never from its words.

usage: windows_image.py machine PROGRAM     i386, amd64, or the machine's number
       windows_image.py name PROGRAM        the program's own name: InternalName, from its version information
       windows_image.py unsigned PROGRAM    succeeds for a Windows program that carries no signature
       windows_image.py chain [--given NAME] [--key-name NAME] KEY CERTS OUTPUT
                                            the signing chain from CERTS (PEM or DER), from the certificate
                                            whose public key KEY (PEM) is, upwards, into OUTPUT (PEM);
                                            messages call CERTS and KEY by the names given
       windows_image.py verify [--ca CERTS] [--tsa-ca CERTS] [--verdict TEXT] [--shown-as NAME] PROGRAM SIGNED
                                            whether SIGNED (called NAME in messages) is PROGRAM, called
                                            TEXT, with one valid signature; what it found on standard output
Exit status: 0 yes, 1 no (the reason on standard error), 2 usage.
"""
import datetime
import hashlib
import ssl
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import pefile
# tsp teaches cms the time-stamp token's content, TSTInfo.
from asn1crypto import cms, core, pem, tsp, x509  # noqa: F401 pylint: disable=unused-import


class Refusal(Exception):
    """What makes the answer no, in words for whoever runs the script."""


# The image.

SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
RESOURCE_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
MACHINES = {0x14C: "i386", 0x8664: "amd64"}


def align8(size):
    return (size + 7) & ~7


class Image:
    def __init__(self, path, shown_as=None):
        self.data = Path(path).read_bytes()
        self.path = shown_as or path
        try:
            self.pe = pefile.PE(data=self.data, fast_load=True)
            header = self.pe.OPTIONAL_HEADER
            self.checksum_offset = header.get_field_absolute_offset("CheckSum")
            directory = header.DATA_DIRECTORY[SECURITY_DIRECTORY]
        except (pefile.PEFormatError, AttributeError, IndexError) as error:
            raise Refusal(f"{self.path} is not a Windows program ({error})") from None
        self.security_entry_offset = directory.get_file_offset()
        # The certificate table's place is a file offset, not an address; a table of size 0 is none.
        self.table_start, self.table_size = directory.VirtualAddress, directory.Size

    def machine(self):
        number = self.pe.FILE_HEADER.Machine
        return MACHINES.get(number, f"{number:#x}")

    def internal_name(self):
        self.pe.parse_data_directories(directories=[RESOURCE_DIRECTORY])
        names = {table.entries.get(b"InternalName")
                 for info in getattr(self.pe, "FileInfo", []) for entry in info
                 for table in getattr(entry, "StringTable", [])} - {None}
        if len(names) != 1:
            raise Refusal(f"{self.path} has no version information naming it (InternalName)")
        return names.pop().decode("utf-8", "replace")

    def signature(self):
        """The one PKCS#7 SignedData in the certificate table, whose end must be the file's."""
        start, size, end = self.table_start, self.table_size, self.table_start + self.table_size
        if size == 0:
            raise Refusal(f"{self.path} is not signed")
        if end > len(self.data):
            raise Refusal(f"{self.path}: its signature's table runs {end - len(self.data)} bytes past the end of the file")
        if end < len(self.data):
            raise Refusal(f"{self.path} has {len(self.data) - end} bytes after its signature, which no signature covers")
        entries, offset = [], start
        while offset + 8 <= end:
            length, revision, kind = struct.unpack_from("<IHH", self.data, offset)
            if length < 8 or offset + length > end:
                raise Refusal(f"{self.path}: its signature's table is not a list of signatures")
            entries.append((revision, kind, self.data[offset + 8:offset + length]))
            offset += align8(length)
        if len(entries) != 1:
            raise Refusal(f"{self.path} carries {len(entries)} signatures; only a file with exactly one is accepted")
        revision, kind, content = entries[0]
        if (revision, kind) != (WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA):
            raise Refusal(f"{self.path}: its signature is not an Authenticode one (revision {revision:#x}, type {kind:#x})")
        # The structure's own length says where it ends; what follows is the table's padding.
        return cms.ContentInfo.load(content)

    def digest(self):
        """The Authenticode digest (SHA-256): the file up to its certificate table, without the checksum
        and the table's directory entry, which signing changes."""
        data, checksum, entry = self.data, self.checksum_offset, self.security_entry_offset
        end = self.table_start if self.table_size else len(data)
        return hashlib.sha256(data[:checksum] + data[checksum + 4:entry] + data[entry + 8:end]).digest()


def attached(program, signature):
    """What attaching a signature to a program writes: the program padded to eight bytes, the table's
    directory entry, one WIN_CERTIFICATE padded to eight bytes, and the header's checksum over it all."""
    table_start = align8(len(program.data))
    length = align8(8 + len(signature))
    data = bytearray(program.data) + bytes(table_start - len(program.data))
    struct.pack_into("<II", data, program.security_entry_offset, table_start, length)
    data += struct.pack("<IHH", length, WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA) + signature
    data += bytes(table_start + length - len(data))
    struct.pack_into("<I", data, program.checksum_offset, pefile.PE(data=bytes(data), fast_load=True).generate_checksum())
    return bytes(data)


# The signature's structures that asn1crypto does not know: Microsoft's Authenticode types.

SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_SP_OPUS_INFO = "1.3.6.1.4.1.311.2.1.12"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
RFC3161_TIME_STAMP = "1.3.6.1.4.1.311.3.3.1"
COUNTER_SIGNATURE = "1.2.840.113549.1.9.6"
CODE_SIGNING = "1.3.6.1.5.5.7.3.3"
ANY_EXTENDED_KEY_USAGE = "2.5.29.37.0"


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}), ("ascii", core.IA5String, {"implicit": 1})]


class SpcSerializedObject(core.Sequence):
    _fields = [("class_id", core.OctetString), ("serialized_data", core.OctetString)]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}), ("moniker", SpcSerializedObject, {"implicit": 1}),
                     ("file", SpcString, {"explicit": 2})]


class SpcSpOpusInfo(core.Sequence):
    _fields = [("program_name", SpcString, {"explicit": 0, "optional": True}),
               ("more_info", SpcLink, {"explicit": 1, "optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", cms.DigestAlgorithm), ("digest", core.OctetString)]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


def escaped(text, also=""):
    """Text from a signature or a certificate, which its maker chose: every character that could hide
    or mimic another (controls, format characters, anything not ASCII), a backslash, and those in
    `also`, as \\uXXXX."""
    return "".join(c if c.isprintable() and c.isascii() and c not in "\\" + also else f"\\u{ord(c):04x}" for c in text)


NAME_TYPES = {"common_name": "CN", "organization_name": "O", "organizational_unit_name": "OU", "country_name": "C",
              "locality_name": "L", "state_or_province_name": "ST", "email_address": "emailAddress"}


def name_text(name):
    """A certificate name in its own order, CN=..., O=..., a multi-valued part joined by +, each value
    escaped as escaped() does, with the characters that separate a name's parts among them, so that no
    value can pass for another part."""
    return ", ".join("+".join(f"{NAME_TYPES.get(pair['type'].native, pair['type'].dotted)}="
                              f"{escaped(str(pair['value'].native), also=',+=;')}" for pair in rdn)
                     for rdn in name.chosen)


def digest_name(algorithm):
    return algorithm["algorithm"].native.upper().replace("_", "-").replace("SHA-", "SHA")


# Certificates and openssl.

def read_certificates(path):
    """Every certificate in a file, in its order: PEM, DER (one after another), or a PKCS#7 bundle
    (.p7b) in either form."""
    data = Path(path).read_bytes().removeprefix(b"\xef\xbb\xbf")
    try:
        if pem.detect(data):
            blocks = list(pem.unarmor(data, multiple=True))
            if any(kind == "TRUSTED CERTIFICATE" for kind, _, _ in blocks):
                raise Refusal(f"{path} holds an OpenSSL trusted certificate, whose trust settings are not read here; "
                              "give the certificate itself (openssl x509 -in FILE -out PLAIN.pem)")
            ders = [block for kind, _, block in blocks if kind in ("CERTIFICATE", "PKCS7")]
        else:
            ders = []
            while data:
                item = core.Asn1Value.load(data, strict=False)
                ders.append(data[:len(item.dump())])
                data = data[len(item.dump()):]
        certificates = [certificate for der in ders for certificate in certificates_in(der)]
        for certificate in certificates:
            certificate.native  # parses it whole, so that a broken one is told here
    except Refusal:
        raise
    except Exception as error:  # pylint: disable=broad-except
        raise Refusal(f"{path} is not a certificate in PEM or DER form ({type(error).__name__}: {error})") from None
    if not certificates:
        raise Refusal(f"{path} holds no certificate")
    return certificates


def certificates_in(der):
    """The certificate, or the certificates a PKCS#7 bundle holds."""
    try:
        bundle = cms.ContentInfo.load(der)
        if bundle["content_type"].native == "signed_data":
            return [c.chosen for c in present(bundle["content"]["certificates"])]
    except Exception:  # pylint: disable=broad-except # not a bundle: a certificate, or nothing
        pass
    return [x509.Certificate.load(der)]


class Scratch:
    """A folder of its own for what openssl reads, each file named there without a path: an option of
    `openssl ts` takes a list of files split at spaces, so no path (TMPDIR's may hold one) reaches it."""

    def __init__(self, folder):
        self.folder = folder

    def file(self, name, data):
        Path(self.folder, name).write_bytes(data)
        return name

    def certificates(self, name, certificates):
        return self.file(name, b"".join(pem.armor("CERTIFICATE", certificate.dump()) for certificate in certificates))

    def openssl(self, *arguments):
        """Whether openssl says yes; its words go nowhere but into the exit status."""
        return subprocess.run(["openssl", *arguments], cwd=self.folder, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


# Trust only what is named: openssl also reads its default CA folder and store unless told not to.
ONLY_GIVEN = ("-no-CApath", "-no-CAstore")


def issued(scratch, issuer, certificate):
    """Whether the issuer's key signed the certificate (and the issuer may issue certificates)."""
    return scratch.openssl("verify", "-no_check_time", "-partial_chain", *ONLY_GIVEN,
                           "-CAfile", scratch.certificates("issuer.pem", [issuer]),
                           scratch.certificates("issued.pem", [certificate]))


def chain_from(scratch, signer, others, given):
    """The signer's certificate and those above it, in order, out of others; a certificate that belongs
    to no part of it is refused, since a verifier could not place it, and so is one named as an issuer
    that did not issue."""
    chain, others = [signer], list(others)
    while others:
        named = [other for other in others if other.subject == chain[-1].issuer and other.dump() != chain[-1].dump()]
        issuer = next((other for other in named if issued(scratch, other, chain[-1])), None)
        if issuer is None and named:
            raise Refusal(f"{given} the certificate {name_text(named[0].subject)}, named as the issuer of "
                          f"{name_text(chain[-1].subject)}, which did not issue it (its key did not sign it, or it is not a CA)")
        if issuer is None:
            break
        chain.append(issuer)
        others.remove(issuer)
    # The signer's own certificate given twice is no stranger.
    others = [other for other in others if other.dump() != signer.dump()]
    if others:
        raise Refusal(f"{given} certificates that are not the signer's chain: "
                      + "; ".join(name_text(other.subject) for other in others))
    return chain


def for_code_signing(certificate, signer):
    """Windows takes an extended key usage as a limit on every certificate of the path: each one that
    names usages must name code signing; the signer's must name them."""
    usages = certificate.extended_key_usage_value
    if usages is None and not signer:
        return
    if usages is None or not {CODE_SIGNING, ANY_EXTENDED_KEY_USAGE} & {usage.dotted for usage in usages}:
        raise Refusal(f"the certificate ({name_text(certificate.subject)}) is not for code signing: "
                      "it lacks the Code Signing extended key usage")


def valid_at(certificate, moment):
    validity = certificate["tbs_certificate"]["validity"]
    return validity["not_before"].native <= moment <= validity["not_after"].native


def chain_command(signer_public_key, certificates_path, output, given, key_name):
    """For sign.sh: the chain a signature carries, from the signer's certificate up; the top (the root)
    is what a verifier already trusts, so it may be left out, the signer's issuer may not."""
    key = pem.unarmor(Path(signer_public_key).read_bytes())[2]
    certificates = read_certificates(certificates_path)
    signers = [c for c in certificates if c.public_key.dump() == key]
    if not signers:
        raise Refusal(f"{key_name} is not the private key of any certificate in {given}: "
                      + "; ".join(name_text(c.subject) for c in certificates))
    signer = signers[0]
    with tempfile.TemporaryDirectory() as folder:
        chain = chain_from(Scratch(folder), signer, [c for c in certificates if c is not signer], f"{given} holds")
    if len(chain) == 1 and signer.self_signed == "no":
        raise Refusal(f"the certificate that issued {name_text(signer.subject)} ({name_text(signer.issuer)}) is not in "
                      f"{given}; give the signer's certificate with those of the CAs above it")
    now = datetime.datetime.now(datetime.timezone.utc)
    for position, certificate in enumerate(chain):
        for_code_signing(certificate, signer=position == 0)
        # Windows rejects a signature made outside the validity of a certificate of its path.
        validity = certificate["tbs_certificate"]["validity"]
        if validity["not_before"].native > now:
            raise Refusal(f"the certificate ({name_text(certificate.subject)}) is not valid before {validity['not_before'].native}")
        if validity["not_after"].native < now:
            raise Refusal(f"the certificate ({name_text(certificate.subject)}) expired on {validity['not_after'].native}")
    Path(output).write_bytes(b"".join(pem.armor("CERTIFICATE", c.dump()) for c in chain))
    print(name_text(signer.subject))


# The verdict.

def one_signer(signed_data, path):
    signers = signed_data["signer_infos"]
    if len(signers) != 1:
        raise Refusal(f"{path} carries {len(signers)} signatures; only a file with exactly one is accepted")
    return signers[0]


def present(values):
    """The members of an optional set, none where it is absent."""
    return [] if isinstance(values, core.Void) else list(values)


def attribute(attributes, kind, path):
    """The one value of an attribute, or None; an attribute given twice is refused as ambiguous."""
    values = [value for a in present(attributes) if a["type"].dotted == kind for value in a["values"]]
    if len(values) > 1:
        raise Refusal(f"{path}: its signature holds the attribute {kind} {len(values)} times")
    return values[0] if values else None


def nothing_added(signed_data, certificates_given, path, what):
    """What lies outside a signer's signature, where anyone could add to it: no revocation lists, no
    certificates in another format, and no unsigned attribute but those allowed."""
    if present(signed_data["crls"]):
        raise Refusal(f"{path} carries content the signer did not sign: revocation data in {what}")
    if len(certificates_given) != len(present(signed_data["certificates"])):
        raise Refusal(f"{path} carries content the signer did not sign: a certificate in another format in {what}")


def time_stamp(scratch, signer_info, token, tsa_ca, path):
    """The time an RFC 3161 token says the signature existed, once openssl finds the token signed by a
    trusted time-stamp authority over this signature's value, at that time. Names the authority.
    Nothing may be added to the token either."""
    signed_data = token["content"]
    info = signed_data["encap_content_info"]["content"].parsed
    carried = [c.chosen for c in present(signed_data["certificates"]) if c.name == "certificate"]
    nothing_added(signed_data, carried, path, "its time-stamp")
    token_signer = one_signer(signed_data, f"{path}: its time-stamp")
    if present(token_signer["unsigned_attrs"]):
        raise Refusal(f"{path} carries content the signer did not sign: an unsigned attribute in its time-stamp")
    identifier = token_signer["sid"].chosen
    authority = next((c for c in carried if c.issuer == identifier["issuer"]
                      and c.serial_number == identifier["serial_number"].native), None)
    if authority is not None:
        chain_from(scratch, authority, [c for c in carried if c is not authority], f"{path}: its time-stamp carries")
    elif carried:
        raise Refusal(f"{path}: its time-stamp carries certificates, but not its authority's")
    moment = info["gen_time"].native
    trust = ["-CAfile", scratch.certificates("tsa-trusted.pem", read_certificates(tsa_ca))] if tsa_ca \
        else ["-CApath", ssl.get_default_verify_paths().openssl_capath]
    untrusted = ["-untrusted", scratch.certificates("token-certificates.pem", carried)] if carried else []
    # The authority's certificate is held to the time it stamped, as the signer's is.
    if not scratch.openssl("ts", "-verify", "-in", scratch.file("token.der", token.dump()), "-token_in",
                           "-data", scratch.file("signature-value", signer_info["signature"].native),
                           "-attime", str(int(moment.timestamp())), *trust, *untrusted):
        where = f"against {tsa_ca}" if tsa_ca else "(a private time-stamp authority's root is given with --tsa-ca)"
        raise Refusal(f"{path}: the time-stamp does not verify {where}")
    return moment, f"issued by {name_text(identifier['issuer'])}, serial {identifier['serial_number'].native:x}"


def path_to_trust(scratch, chain, anchors):
    """The certificates from the signer's up to the first one trusted, or to the trusted one named as the
    issuer of the top of the chain (the one that issued it, if any did); the chain alone where none is
    (then openssl refuses it)."""
    trusted = {anchor.dump() for anchor in anchors}
    for position, certificate in enumerate(chain):
        if certificate.dump() in trusted:
            return chain[:position + 1]
    top = chain[-1]
    named = [anchor for anchor in anchors if anchor.subject == top.issuer]
    anchor = next((a for a in named if issued(scratch, a, top)), named[0] if named else None)
    return chain + [anchor] if anchor is not None else chain


def verify(program_path, signed_path, ca, tsa_ca, verdict, shown_as):
    """What was found, a line each, when SIGNED is PROGRAM with one valid signature."""
    program, image = Image(program_path), Image(signed_path, shown_as)
    try:
        return checked(program, image, image.signature(), ca, tsa_ca, verdict)
    except Refusal:
        raise
    # A structure that does not parse as the types say, anywhere in it, is no signature to trust.
    except Exception as error:  # pylint: disable=broad-except
        raise Refusal(f"{image.path}: the signature does not verify: it cannot be read "
                      f"({type(error).__name__}: {error})") from None


def checked(program, image, info, ca, tsa_ca, verdict):
    path = image.path
    if info["content_type"].native != "signed_data":
        raise Refusal(f"{path}: its signature is not signed data")
    signed_data = info["content"]
    signer_info = one_signer(signed_data, path)
    unsigned = present(signer_info["unsigned_attrs"])
    kinds = [a["type"].dotted for a in unsigned]
    # Windows judges the primary signature alone: a second one, nested, is for nobody to trust.
    nested = sum(len(a["values"]) for a in unsigned if a["type"].dotted == NESTED_SIGNATURE)
    if nested:
        raise Refusal(f"{path} carries {1 + nested} signatures; only a file with exactly one is accepted")
    if COUNTER_SIGNATURE in kinds:
        raise Refusal(f"{path}: its time-stamp is of the older Authenticode kind, which is not checked here; "
                      "time-stamp with an RFC 3161 server")
    strangers = [kind for kind in kinds if kind != RFC3161_TIME_STAMP]
    if strangers:
        raise Refusal(f"{path} carries content the signer did not sign: attributes {', '.join(strangers)} beside the signature")

    if signed_data["encap_content_info"]["content_type"].dotted != SPC_INDIRECT_DATA:
        raise Refusal(f"{path}: its signature does not sign a program")
    content = signed_data["encap_content_info"]["content"].parse(SpcIndirectDataContent)
    algorithms = [*signed_data["digest_algorithms"], signer_info["digest_algorithm"],
                  content["message_digest"]["digest_algorithm"]]
    digests = sorted({digest_name(algorithm) for algorithm in algorithms})
    if digests != ["SHA256"]:
        raise Refusal(f"{path} is signed with digest {'/'.join(digests)}; only SHA-256 is accepted")

    # The certificate set lies outside what the signer signed, so anyone can add to it: only the
    # signer's certificate belongs there, and those above it.
    certificates = [c.chosen for c in present(signed_data["certificates"]) if c.name == "certificate"]
    nothing_added(signed_data, certificates, path, "the signature")
    identifier = signer_info["sid"].chosen
    signer = next((c for c in certificates if c.issuer == identifier["issuer"]
                   and c.serial_number == identifier["serial_number"].native), None)
    if signer is None:
        raise Refusal(f"{path}: the signer's certificate is not in the signature")
    with tempfile.TemporaryDirectory() as folder:
        scratch = Scratch(folder)
        chain = chain_from(scratch, signer, [c for c in certificates if c is not signer], f"{path} carries")

        signed_attributes = signer_info["signed_attrs"]
        does_not_verify = f"{path}: the signature does not verify"
        if image.digest() != content["message_digest"]["digest"].native:
            raise Refusal(f"{does_not_verify}: the file is not the one signed")
        content_type = attribute(signed_attributes, "1.2.840.113549.1.9.3", path)
        message_digest = attribute(signed_attributes, "1.2.840.113549.1.9.4", path)
        if content_type is None or content_type.dotted != SPC_INDIRECT_DATA or message_digest is None \
                or message_digest.native != hashlib.sha256(content.contents).digest():
            raise Refusal(f"{does_not_verify}: its attributes do not sign the file's digest")
        algorithm = signer_info["signature_algorithm"].signature_algo
        if algorithm not in ("rsassa_pkcs1v15", "ecdsa"):
            raise Refusal(f"{does_not_verify}: its signature algorithm ({algorithm}) is not one this check verifies "
                          "(RSA PKCS #1 v1.5 or ECDSA)")
        # The signer signs the DER of its attributes as a SET OF, not as the [0] they are stored under.
        key = scratch.file("signer-key.pem", pem.armor("PUBLIC KEY", signer.public_key.dump()))
        if not scratch.openssl("dgst", "-sha256", "-verify", key,
                               "-signature", scratch.file("signature.bin", signer_info["signature"].native),
                               scratch.file("attributes.der", b"\x31" + signed_attributes.dump()[1:])):
            raise Refusal(f"{does_not_verify}: its signer's key did not sign it")

        token = attribute(unsigned, RFC3161_TIME_STAMP, path)
        stamped, authority = time_stamp(scratch, signer_info, token, tsa_ca, path) if token else (None, None)
        # Windows holds every certificate of the path to the time-stamp's time, when there is one. Each
        # rule a chain can break is told by name first; the verdict itself is openssl's.
        moment = stamped or datetime.datetime.now(datetime.timezone.utc)
        anchors = read_certificates(ca) if ca else []
        trust_path = path_to_trust(scratch, chain, anchors)
        for position, certificate in enumerate(trust_path):
            if not valid_at(certificate, moment):
                validity = certificate["tbs_certificate"]["validity"]
                raise Refusal(f"{does_not_verify}: the certificate {name_text(certificate.subject)} was not valid on "
                              f"{moment:%Y-%m-%d %H:%M:%S} UTC (from {validity['not_before'].native} "
                              f"to {validity['not_after'].native})")
            if position and not certificate.ca:
                raise Refusal(f"{does_not_verify}: the certificate {name_text(certificate.subject)} is not a CA, "
                              f"yet stands above {name_text(trust_path[position - 1].subject)}")
            for_code_signing(certificate, signer=position == 0)
        trust = ["-partial_chain", *ONLY_GIVEN, "-CAfile", scratch.certificates("trusted.pem", anchors)] if ca else []
        if not scratch.openssl("verify", *trust, "-attime", str(int(moment.timestamp())),
                               "-untrusted", scratch.certificates("chain.pem", chain),
                               scratch.certificates("signer.pem", [signer])):
            trusted = f"against {ca}: its signer ({name_text(signer.subject)}) is none of its certificates, nor issued under one" \
                if ca else "against the system's CAs"
            raise Refusal(f"{does_not_verify} {trusted}")

    table_start = image.table_start
    without = bytearray(image.data[:table_start])
    struct.pack_into("<II", without, image.security_entry_offset, 0, 0)
    without[image.checksum_offset:image.checksum_offset + 4] = program.data[program.checksum_offset:program.checksum_offset + 4] \
        if program.checksum_offset + 4 <= len(program.data) else bytes(4)
    if bytes(without) != program.data + bytes(align8(len(program.data)) - len(program.data)):
        raise Refusal(f"{path} without its signature is not {verdict} ({program.path}): "
                      + first_difference(bytes(without), program.data))

    # Windows shows the description in place of the file's name, in the elevation prompt among other
    # places, and the signer chose it: none (the file's name is shown) or the program's own name.
    opus = attribute(signed_attributes, SPC_SP_OPUS_INFO, path)
    opus = opus.parse(SpcSpOpusInfo) if opus is not None else None
    description = opus["program_name"].native if opus is not None and opus["program_name"].native is not None else None
    name = program.internal_name()
    if description is not None and description != name:
        raise Refusal(f"{path}: its signature describes the program as \"{escaped(description)}\", not by its own name \"{name}\"")
    link = opus["more_info"] if opus is not None else None
    if link is not None and link.native is not None:
        shown_link = escaped(link.native) if isinstance(link.native, str) else link.name
        raise Refusal(f"{path}: its signature names a link for the program, {shown_link}, which sign.sh never writes")

    # The rest, outside the signed digest (the header's checksum, the padding), as attaching writes it.
    signature = info.dump()
    expected = attached(program, signature)
    if expected != image.data:
        raise Refusal(f"{path} differs from the build with its own signature attached: "
                      + first_difference(image.data, expected, image.checksum_offset))

    return [f"signer:  {name_text(signer.subject)}", f"issuer:  {name_text(signer.issuer)}",
            f"description: {description if description is not None else 'none (Windows shows the file name)'}",
            f"digest:  {digests[0]}", f"time-stamp: {stamped.strftime('%Y-%m-%d %H:%M:%S UTC') if stamped else 'none'}",
            *([f"  by the authority whose certificate is {authority}"] if authority else [])]


def first_difference(data, expected, checksum_offset=None):
    where = next((i for i, (a, b) in enumerate(zip(data, expected)) if a != b), None)
    if where is None:
        return f"{len(data)} bytes, not {len(expected)}"
    if checksum_offset is not None and checksum_offset <= where < checksum_offset + 4:
        return f"the header's checksum differs (byte {where})"
    return f"they differ first at byte {where}"


def main(arguments):
    command, *rest = arguments or [""]
    options = {}
    while len(rest) >= 2 and rest[0] in ("--ca", "--tsa-ca", "--verdict", "--shown-as", "--given", "--key-name"):
        options[rest[0]] = rest[1]
        rest = rest[2:]
    # What follows -- is a file, whatever its name.
    rest = rest[1:] if rest[:1] == ["--"] else rest
    try:
        if command == "machine" and len(rest) == 1:
            print(Image(rest[0]).machine())
        elif command == "name" and len(rest) == 1:
            print(Image(rest[0]).internal_name())
        elif command == "unsigned" and len(rest) == 1:
            image = Image(rest[0])
            if image.table_size:
                raise Refusal(f"{rest[0]} is signed already; sign the unsigned build")
        elif command == "chain" and len(rest) == 3:
            chain_command(*rest, options.get("--given", rest[1]), options.get("--key-name", rest[0]))
        elif command == "verify" and len(rest) == 2:
            print("\n".join(verify(*rest, options.get("--ca"), options.get("--tsa-ca"),
                                   options.get("--verdict", "the given program"), options.get("--shown-as"))))
        else:
            print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
            return 2
    except Refusal as refusal:
        print(refusal, file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{error.filename}: {error.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
