"""The updater's names in its staging folder, for the tests that look into it.

A package is staged as the entry's name with every byte but letters, digits, '.',
'-' and '_' replaced by '_', cut to 100 bytes, then '-', sixteen upper-case hex
digits of the SHA-256 of the name, a NUL and the package's identity, and ".cab".
The identity is the manifest's checksum in lower case; with a release key, followed
by a blank, the package's signed SHA-256 (lower-case hex), a blank and its size.
"""

import hashlib


def staged_name(entry, identity):
    readable = "".join(c if c.isascii() and (c.isalnum() or c in ".-_") else "_" for c in entry[:100])
    digest = hashlib.sha256(entry.encode() + b"\0" + identity.encode()).hexdigest()[:16].upper()
    return "%s-%s.cab" % (readable, digest)


def manifest_checksums(manifest):
    """{name: checksum in lower case} of a manifest's bytes."""
    found = {}
    for line in manifest.decode("latin-1").splitlines():
        if ":" in line:
            name, checksum = line.split(":", 1)
            found[name.strip()] = checksum.strip().lower()
    return found


def signed_packages(signature):
    """{package name: (sha256 hex, size)} of a signature file's bytes."""
    found = {}
    for line in signature.decode("latin-1").splitlines():
        if line.startswith("package "):
            _, size, sha, name = line.split(" ", 3)
            found[name] = (sha, int(size))
    return found


def identity(entry, manifest, signature=None):
    """The identity of entry's package in the release of these manifest and signature bytes."""
    text = manifest_checksums(manifest)[entry]
    if signature is not None:
        sha, size = signed_packages(signature)[entry + ".cab"]
        text += " %s %d" % (sha, size)
    return text
