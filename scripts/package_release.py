"""Packs the release: UsbResetOnResume-VERSION-win32.zip with the program and its companions, each with
its .sha256, the licence, the administrator's guide (docs/administrators.md) as README.txt and the
administrator scripts, and SHA256SUMS beside it; the zips of other versions an earlier run left there
go, so that the folder holds one release and SHA256SUMS names all it holds.

The same sources give the same zip bytes on any machine: entries in sorted order under one folder,
every time stamp the sources' commit time (or SOURCE_DATE_EPOCH), every mode 0644, no extra fields
(no owner, access or change time), and stored rather than deflated, so the bytes do not depend on
the zlib at hand either.

usage: package_release.py VERSION SOURCE_DIR PROGRAM.exe OUTPUT_DIR [COMPANION.exe...]
"""
import hashlib
import os
import subprocess
import sys
import time
import zipfile
from pathlib import Path

UNIX_REGULAR_FILE_0644 = 0o100644
CREATED_ON_UNIX = 3


def source_date(source_dir):
    if "SOURCE_DATE_EPOCH" in os.environ:
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        out = subprocess.run(["git", "-C", str(source_dir), "log", "-1", "--format=%ct"],
                             check=True, capture_output=True, text=True).stdout
        return int(out)
    except (OSError, subprocess.CalledProcessError, ValueError):
        sys.exit("package_release: not a git checkout; set SOURCE_DATE_EPOCH to the sources' date")


def windows_text(text):
    # Notepad before Windows 10 1809 shows a file with bare LF line ends as one line.
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def main(version, source_dir, program, output_dir, *companions):
    source_dir, output_dir = Path(source_dir), Path(output_dir)
    files = {
        "LICENSE.txt": windows_text((source_dir / "LICENSE").read_text(encoding="utf-8")),
        "README.txt": windows_text((source_dir / "docs" / "administrators.md").read_text(encoding="utf-8")),
    }
    for executable in map(Path, (program, *companions)):
        checksum = executable.with_name(executable.name + ".sha256")
        files[executable.name] = executable.read_bytes()
        files[checksum.name] = windows_text(checksum.read_text(encoding="ascii"))
    admin = source_dir / "admin"
    if admin.is_dir():
        for path in admin.rglob("*"):
            if path.is_file():
                files[path.relative_to(source_dir).as_posix()] = path.read_bytes()

    # The zip's format counts time in local two-second steps from 1980; UTC keeps it the same everywhere.
    stamp = time.gmtime(max(source_date(source_dir), 315532800))[:6]
    stamp = stamp[:5] + (stamp[5] - stamp[5] % 2,)
    name = f"UsbResetOnResume-{version}-win32"
    output_dir.mkdir(parents=True, exist_ok=True)
    zip_path = output_dir / f"{name}.zip"
    partial = output_dir / f".{name}.zip.partial"
    with zipfile.ZipFile(partial, "w", compression=zipfile.ZIP_STORED) as archive:
        for entry in sorted(files):
            info = zipfile.ZipInfo(f"{name}/{entry}", date_time=stamp)
            info.create_system = CREATED_ON_UNIX
            info.external_attr = UNIX_REGULAR_FILE_0644 << 16
            info.compress_type = zipfile.ZIP_STORED
            archive.writestr(info, files[entry])
    os.replace(partial, zip_path)
    for earlier in output_dir.glob("UsbResetOnResume-*-win32.zip"):
        if earlier != zip_path:
            earlier.unlink()

    digest = hashlib.sha256(zip_path.read_bytes()).hexdigest()
    sums = output_dir / "SHA256SUMS"
    partial_sums = output_dir / ".SHA256SUMS.partial"
    partial_sums.write_text(f"{digest}  {zip_path.name}\n", encoding="ascii")
    os.replace(partial_sums, sums)
    print(f"{zip_path}: {zip_path.stat().st_size} bytes, sha256 {digest}")


if __name__ == "__main__":
    if len(sys.argv) < 5:
        sys.exit(__doc__.strip().splitlines()[-1])
    main(*sys.argv[1:])
