#!/usr/bin/python3
"""Packs the release: UsbResetOnResume-VERSION-win32.zip with the programs, each with its .sha256,
the licence, the administrator's guide (docs/administrators.md) as README.txt and the administrator
scripts (admin/), and SHA256SUMS beside it, in OUTPUT_DIR, which must not exist yet. SOURCE_DIR is
the commit's files alone, as release.sh exports them.

The same sources give the same zip bytes on any machine: entries in sorted order under one folder,
every time stamp SOURCE_DATE_EPOCH (the commit's time), every mode 0644, no extra fields (no owner,
access or change time), and stored rather than deflated, so the bytes do not depend on the zlib at
hand either.

usage: SOURCE_DATE_EPOCH=SECONDS package_release.py VERSION SOURCE_DIR OUTPUT_DIR PROGRAM.exe...
"""
import hashlib
import os
import sys
import time
import zipfile
from pathlib import Path

UNIX_REGULAR_FILE_0644 = 0o100644
CREATED_ON_UNIX = 3


def windows_text(text):
    # Notepad before Windows 10 1809 shows a file with bare LF line ends as one line.
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def main(version, source_dir, output_dir, *programs):
    source_dir, output_dir = Path(source_dir), Path(output_dir)
    files = {
        "LICENSE.txt": windows_text((source_dir / "LICENSE").read_text(encoding="utf-8")),
        "README.txt": windows_text((source_dir / "docs" / "administrators.md").read_text(encoding="utf-8")),
    }
    for program in map(Path, programs):
        data = program.read_bytes()
        files[program.name] = data
        files[f"{program.name}.sha256"] = windows_text(f"{hashlib.sha256(data).hexdigest()}  {program.name}\n")
    for path in (source_dir / "admin").rglob("*"):
        if path.is_file():
            files[path.relative_to(source_dir).as_posix()] = path.read_bytes()

    # The zip's format counts time in local two-second steps from 1980; UTC keeps it the same everywhere.
    stamp = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]
    stamp = stamp[:5] + (stamp[5] - stamp[5] % 2,)
    name = f"UsbResetOnResume-{version}-win32"
    output_dir.mkdir(parents=True)
    zip_path = output_dir / f"{name}.zip"
    with zipfile.ZipFile(zip_path, "w", compression=zipfile.ZIP_STORED) as archive:
        for entry in sorted(files):
            info = zipfile.ZipInfo(f"{name}/{entry}", date_time=stamp)
            info.create_system = CREATED_ON_UNIX
            info.external_attr = UNIX_REGULAR_FILE_0644 << 16
            info.compress_type = zipfile.ZIP_STORED
            archive.writestr(info, files[entry])

    digest = hashlib.sha256(zip_path.read_bytes()).hexdigest()
    (output_dir / "SHA256SUMS").write_text(f"{digest}  {zip_path.name}\n", encoding="ascii")
    print(f"{zip_path}: {zip_path.stat().st_size} bytes, sha256 {digest}")


if __name__ == "__main__":
    if len(sys.argv) < 5 or "SOURCE_DATE_EPOCH" not in os.environ:
        sys.exit(__doc__.strip().splitlines()[-1])
    main(*sys.argv[1:])
