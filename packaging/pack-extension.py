#!/usr/bin/env python3
"""Packs the browser extension for the packages: a CRX3 signed with the extension key for
Chromium and Chrome, and an XPI (a plain zip) for Firefox. Both hold the same files, and the
CRX's manifest carries the key's public half, so that the extension keeps one ID however it is
loaded. The archives are reproducible: fixed order, times and modes.

    pack-extension.py EXTENSION_DIR KEY.pem OUT.crx OUT.xpi [--id-file OUT]
"""

import base64
import hashlib
import io
import json
import os
import subprocess
import sys
import tempfile
import zipfile

# A CRX3 file: "Cr24", version 3, the header's length, a CrxFileHeader message, the zip.
# CrxFileHeader: 2 = sha256_with_rsa {1 = public key (DER), 2 = signature},
# 10000 = signed_header_data, itself a SignedData message {1 = crx_id}.
CRX_MAGIC = b"Cr24"
SIGNED_PREFIX = b"CRX3 SignedData\x00"


def varint(n):
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def field(number, payload):
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def extension_id(public_der):
    return "".join(chr(ord("a") + int(c, 16))
                   for c in hashlib.sha256(public_der).hexdigest()[:32])


def zip_folder(folder, manifest):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        names = sorted(os.path.relpath(os.path.join(d, f), folder)
                       for d, _, files in os.walk(folder) for f in files)
        for name in names:
            info = zipfile.ZipInfo(name, date_time=(2000, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            if name == "manifest.json":
                data = (json.dumps(manifest, indent=2) + "\n").encode()
            else:
                with open(os.path.join(folder, name), "rb") as f:
                    data = f.read()
            z.writestr(info, data)
    return buffer.getvalue()


def sign(key, data):
    with tempfile.NamedTemporaryFile() as f:
        f.write(data)
        f.flush()
        return subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, f.name],
                              check=True, stdout=subprocess.PIPE).stdout


def main(argv):
    if len(argv) not in (5, 7) or (len(argv) == 7 and argv[5] != "--id-file"):
        sys.stderr.write(__doc__)
        return 2
    folder, key, crx_path, xpi_path = argv[1:5]
    public_der = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"],
                                check=True, stdout=subprocess.PIPE).stdout
    with open(os.path.join(folder, "manifest.json")) as f:
        manifest = json.load(f)
    manifest["key"] = base64.b64encode(public_der).decode()
    archive = zip_folder(folder, manifest)

    crx_id = hashlib.sha256(public_der).digest()[:16]
    signed_data = field(1, crx_id)
    signature = sign(key, SIGNED_PREFIX + len(signed_data).to_bytes(4, "little") + signed_data
                     + archive)
    header = field(2, field(1, public_der) + field(2, signature)) + field(10000, signed_data)
    with open(crx_path, "wb") as f:
        f.write(CRX_MAGIC + (3).to_bytes(4, "little") + len(header).to_bytes(4, "little")
                + header + archive)
    with open(xpi_path, "wb") as f:
        f.write(archive)
    if len(argv) == 7:
        with open(argv[6], "w") as f:
            f.write(extension_id(public_der) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
