#!/usr/bin/env python3
"""The three Windows programs signed with a throwaway certificate and verified.

Usage: sign_test.py SIGN_SCRIPT RC_COMPILER BIN_DIR [EMULATOR...]

A self-signed code-signing certificate is made with openssl for this run only.
scripts/sign-windows signs copies of nolt-patch-setup.exe (from a PKCS#12 file
with a password) and of nolt-webcopy.exe and nolt-cab.exe (from PEM files). Then:
  - osslsigncode verifies each signature against the throwaway certificate;
  - every resource (manifest, version, icon, clips) reads back exactly as before
    signing (the resource compiler's dump of the program before and after);
  - a signed program still runs (nolt-cab and nolt-webcopy print their usage and
    end with 2, under the EMULATOR words);
  - a byte changed in a signed program fails the verification.
Exit status 0 when all of this holds, 1 otherwise.
"""
import os
import shutil
import subprocess
import sys
import tempfile

PROGRAMS = ["nolt-patch-setup", "nolt-webcopy", "nolt-cab"]


def run(*cmd, **kw):
    return subprocess.run(list(cmd), capture_output=True, text=True, timeout=120, **kw)


def fail(msg):
    print("FAIL:", msg)
    sys.exit(1)


def resources(rc, exe):
    r = run(rc, "-i", exe, "-O", "rc")
    if r.returncode != 0:
        fail("%s cannot read the resources of %s: %s" % (rc, exe, r.stderr))
    return r.stdout


def main():
    sign, rc, bindir = sys.argv[1:4]
    emulator = sys.argv[4:]
    for tool in ("osslsigncode", "openssl"):
        if not shutil.which(tool):
            fail("%s is missing (scripts/deps installs it)" % tool)
    with tempfile.TemporaryDirectory() as work:
        cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
        r = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                "-days", "2", "-subj", "/CN=NOLT throwaway test signer",
                "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature")
        if r.returncode != 0:
            fail("openssl req: " + r.stderr)
        pfx, passfile = os.path.join(work, "vendor.pfx"), os.path.join(work, "vendor.pass")
        with open(passfile, "w") as f:
            f.write("throwaway secret\n")
        r = run("openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-out", pfx,
                "-passout", "file:" + passfile)
        if r.returncode != 0:
            fail("openssl pkcs12: " + r.stderr)

        copies, before = {}, {}
        for name in PROGRAMS:
            copies[name] = os.path.join(work, name + ".exe")
            shutil.copy(os.path.join(bindir, name + ".exe"), copies[name])
            before[name] = resources(rc, copies[name])
            if "RT_MANIFEST" not in before[name] or "VERSIONINFO" not in before[name]:
                fail("%s has no manifest or version resource to keep" % name)

        r = run(sign, "--pkcs12", pfx, "--pass-file", passfile, copies["nolt-patch-setup"])
        if r.returncode != 0:
            fail("signing from PKCS#12: " + r.stdout + r.stderr)
        r = run(sign, "--cert", cert, "--key", key, "--url", "https://vendor.example/",
                copies["nolt-webcopy"], copies["nolt-cab"])
        if r.returncode != 0:
            fail("signing from PEM: " + r.stdout + r.stderr)
        if sorted(os.listdir(work)) != sorted(["cert.pem", "key.pem", "vendor.pfx", "vendor.pass"] +
                                              [n + ".exe" for n in PROGRAMS]):
            fail("signing left files behind: %s" % os.listdir(work))

        for name in PROGRAMS:
            r = run("osslsigncode", "verify", "-CAfile", cert, "-in", copies[name])
            if r.returncode != 0 or "Signature verification: ok" not in r.stdout:
                fail("%s does not verify:\n%s%s" % (name, r.stdout, r.stderr))
            if "CN=NOLT throwaway test signer" not in r.stdout:
                fail("%s is not signed by the throwaway certificate" % name)
            if resources(rc, copies[name]) != before[name]:
                fail("signing changed the resources of %s" % name)
            print("%s: signed, verified, resources unchanged" % name)

        for name in ("nolt-cab", "nolt-webcopy"):
            r = run(*emulator, copies[name])
            if r.returncode != 2 or "usage" not in r.stderr:
                fail("signed %s does not run: status %d, %s" % (name, r.returncode, r.stderr))
        print("signed programs run")

        # Not a verification that passes anything: one changed byte is caught.
        with open(copies["nolt-cab"], "r+b") as f:
            f.seek(0x400)
            b = f.read(1)
            f.seek(0x400)
            f.write(bytes([b[0] ^ 0xFF]))
        r = run("osslsigncode", "verify", "-CAfile", cert, "-in", copies["nolt-cab"])
        if r.returncode == 0:
            fail("a changed program still verifies")
        print("a changed program fails the verification")


if __name__ == "__main__":
    main()
