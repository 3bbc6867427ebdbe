#!/usr/bin/env python3
"""Writes the C++ source that builds public keys into the program.

    embed_update_keys.py OUT.cpp [PUBLIC.pem ...]

Each PEM file holds one P-256 public key (what publish-update.py --new-key
writes as PREFIX.pub.pem). Anything else -- another curve, a private key, a
file that is no key -- stops the build: a release must not come out trusting
less, or something else, than it was given.
"""
import sys

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec


def point(path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        key = serialization.load_pem_public_key(data)
    except ValueError as e:
        sys.exit(f"{path}: not a PEM public key ({e})")
    if not isinstance(key, ec.EllipticCurvePublicKey) or not isinstance(key.curve, ec.SECP256R1):
        sys.exit(f"{path}: not a P-256 public key")
    numbers = key.public_numbers()
    return numbers.x.to_bytes(32, "big") + numbers.y.to_bytes(32, "big")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out, pems = sys.argv[1], sys.argv[2:]
    keys = []
    for pem in pems:
        raw = point(pem)
        if raw not in keys:
            keys.append(raw)
    lines = ["// Written by cmake/embed_update_keys.py from the build's key files.",
             '#include "update/UpdateKeys.h"', "", "namespace rl {", "",
             "const std::vector<P256PublicKey>& BuiltInUpdateKeys() {",
             "    static const std::vector<P256PublicKey> keys = {"]
    for raw in keys:
        body = ", ".join(f"0x{b:02x}" for b in raw)
        lines.append(f"        P256PublicKey{{{body}}},")
    lines += ["    };", "    return keys;", "}", "", "}  // namespace rl", ""]
    text = "\n".join(lines)
    # Unchanged keys leave the file alone, so nothing is rebuilt for them.
    try:
        with open(out) as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    with open(out, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
