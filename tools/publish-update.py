#!/usr/bin/env python3
"""Writes an update server's folder for RestLevel's automatic update.

    publish-update.py SOURCE SERVER --key PRIVATE.pem [--under FOLDER]
                      [--notes FILE] [--notes-name NAME] [--program NAME]
                      [--listing NAME] [--windows]
    publish-update.py --new-key PREFIX

Every file below SOURCE becomes one zlib stream in SERVER, named like the file
with its extension replaced by ".zbin" (RestLevel.exe -> RestLevel.zbin,
restlevel -> restlevel.zbin, sub-folders kept; below SERVER/FOLDER with
--under), whose modification time is the file's own, in whole seconds: the
program compares that time, as the web server's Last-Modified, with its
installed file. --notes copies the release notes (RTF) into SERVER,
under --notes-name (default: the notes' own name). --listing writes an update
listing of that name: one line "local path=remote name" for every file but
the program's own (--program, its name below SOURCE), local paths relative to
the program's folder, with backslashes when --windows is given; it is written
beside the packages.

The Windows program is published with its packages at the top:
    publish-update.py dist-windows server --key release.pem --program RestLevel.exe --notes notes.rtf
and the Linux program below "linux-x86_64", with the same notes:
    publish-update.py dist-linux server --key release.pem --under linux-x86_64 --program restlevel --notes notes.rtf

Symbolic links in SOURCE, names that hold "=", "%" or a line break (which
the program would split, expand or cut in the listing), names a signature
cannot carry (anything but printable ASCII, a backslash), and a key that is
no P-256 private key are refused before anything is written.

--key signs every file written (packages, notes, listing): beside NAME it
writes NAME.sig, a statement of the file's name below SERVER, its time, its
SHA-256 (and for a package the SHA-256 of the file it unpacks to), signed
with the private key (ECDSA, P-256, SHA-256). A program that trusts keys
installs only what one of them signed; without --key the result is unsigned
and such a program refuses it.

--new-key makes a signing key pair (ECDSA, P-256): PREFIX.pem is the private
half (readable by its owner only; keep it off any repository), PREFIX.pub.pem
the public half that a build of the program is given to trust. An existing
file is never overwritten.

Any static web server that sends Last-Modified serves the result (nginx,
Apache, or "python3 -m http.server" for a try). Publishing again rewrites
every file; one that has not changed keeps its time and what its .sig states,
and stays valid with its .sig throughout.
"""
import argparse
import hashlib
import os
import sys
import time
import zlib


def new_key(prefix):
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec

    key = ec.generate_private_key(ec.SECP256R1())
    private = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption())
    public = key.public_key().public_bytes(serialization.Encoding.PEM,
                                           serialization.PublicFormat.SubjectPublicKeyInfo)
    folder = os.path.dirname(prefix)
    if folder:
        os.makedirs(folder, exist_ok=True)
    # O_EXCL: a key that exists stays as it is, whatever the caller meant.
    for path, data, mode in ((prefix + ".pem", private, 0o600), (prefix + ".pub.pem", public, 0o644)):
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        print(path)


def load_key(path):
    """The P-256 private key in PEM file PATH; ValueError says why not."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec

    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise ValueError(f"cannot read the key {path}: {e.strerror}")
    try:
        key = serialization.load_pem_private_key(data, password=None)
    except TypeError:
        raise ValueError(f"{path} is protected by a password: sign with a key that is not")
    except Exception:
        raise ValueError(f"{path} is not a PEM private key (PREFIX.pem of --new-key is; PREFIX.pub.pem is not)")
    if not isinstance(key, ec.EllipticCurvePrivateKey) or not isinstance(key.curve, ec.SECP256R1):
        raise ValueError(f"{path} is not a P-256 (ECDSA) private key")
    return key


def signed_statement(key, name, seconds, data, unpacked):
    """The text of NAME.sig: the statement, then its signature as r || s."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature

    lines = ["KzUpdate signature 1", f"name: {name}", f"time: {seconds}",
             f"sha256: {hashlib.sha256(data).hexdigest()}"]
    if unpacked is not None:
        lines.append(f"unpacked-sha256: {hashlib.sha256(unpacked).hexdigest()}")
    message = "".join(line + "\n" for line in lines).encode("ascii")
    r, s = decode_dss_signature(key.sign(message, ec.ECDSA(hashes.SHA256())))
    return message + f"signature: {r:064x}{s:064x}\n".encode("ascii")


def name_fault(name):
    """Why a statement cannot carry NAME (a path below SERVER), or None."""
    if not 1 <= len(name.encode("utf-8", "surrogateescape")) <= 1024:
        return "is longer than 1024 bytes" if name else "is empty"
    odd = sorted({c for c in name if not " " <= c <= "~" or c == "\\"})
    if odd:
        return "holds " + " and ".join(repr(c) for c in odd) + " (only printable ASCII but a backslash can be signed)"
    if any(part in ("", ".", "..") for part in name.split("/")):
        return "has an empty, \".\" or \"..\" folder, or begins or ends with \"/\""
    return None


def remote_name(relative):
    folder, name = os.path.split(relative)
    stem, extension = os.path.splitext(name)
    if not stem:  # ".profile": the dot starts the name, not an extension
        stem = name
    return (folder + "/" if folder else "") + stem + ".zbin"


def replace_atomically(path, data, seconds=None):
    """Writes PATH whole or not at all: a server being read meanwhile serves
    the old file or the new one, never half of one."""
    temporary = path + ".part"
    with open(temporary, "wb") as out:
        out.write(data)
    if seconds is not None:
        os.utime(temporary, (seconds, seconds))
    os.replace(temporary, path)


def publish(server, name, data, seconds, key, unpacked=None):
    """Writes SERVER/NAME with the modification time SECONDS, and with KEY its
    NAME.sig. The .sig comes first: while the file is replaced a reader may
    get the new .sig with the old file, which the program refuses (time or
    SHA-256 differ), and once the file is there its .sig is. A .sig that still
    verifies beside a new file would take the same bytes and time, i.e. the
    same file."""
    path = os.path.join(server, *name.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if key is not None:
        replace_atomically(path + ".sig", signed_statement(key, name, seconds, data, unpacked))
    replace_atomically(path, data, seconds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", nargs="?", help="the folder of files to publish")
    parser.add_argument("server", nargs="?", help="the update server's folder to write")
    parser.add_argument("--key", metavar="PRIVATE.pem", help="sign every file written with this P-256 private key")
    parser.add_argument("--new-key", metavar="PREFIX", help="make a signing key pair PREFIX.pem, PREFIX.pub.pem")
    parser.add_argument("--under", default="", help="write the packages and the listing below this sub-folder")
    parser.add_argument("--notes", help="release notes (RTF) to publish beside the files")
    parser.add_argument("--notes-name", help="the notes' name on the server")
    parser.add_argument("--program", help="the program's own file, relative to SOURCE (left out of the listing)")
    parser.add_argument("--listing", help="write an update listing of this name")
    parser.add_argument("--windows", action="store_true", help="local paths of the listing with backslashes")
    args = parser.parse_args()

    if args.new_key:
        if args.source or args.server or args.key:
            parser.error("--new-key publishes nothing: give it no folders and no --key")
        try:
            new_key(args.new_key)
        except FileExistsError as e:
            parser.error(f"{e.filename} exists already: a key is never overwritten")
        return 0
    if not args.source or not args.server:
        parser.error("give the folder to publish and the server's folder")
    if not os.path.isdir(args.source):
        parser.error(f"{args.source} is not a folder")
    source = os.path.abspath(args.source)
    server = os.path.abspath(args.server)
    if server == source or server.startswith(source + os.sep):
        parser.error("the server folder must not lie inside the source folder")

    key = None
    if args.key is not None:
        try:
            key = load_key(args.key)
        except ValueError as e:
            parser.error(str(e))
        # The private half must never be served, nor published as a package.
        real_key = os.path.realpath(args.key)
        for folder, what in ((source, "source"), (server, "server")):
            real = os.path.realpath(folder)
            if real_key.startswith(real + os.sep):
                parser.error(f"the key {args.key} lies inside the {what} folder: keep it elsewhere")

    under = args.under.replace(os.sep, "/")
    if under.startswith("/") or ".." in under.split("/"):
        parser.error(f"--under {args.under}: give a folder below the server's")
    under = "/".join(part for part in under.split("/") if part not in ("", "."))
    prefix = under + "/" if under else ""

    files = []
    for folder, subfolders, names in os.walk(source):
        subfolders.sort()
        for name in sorted(subfolders + names):
            full = os.path.join(folder, name)
            relative = os.path.relpath(full, source).replace(os.sep, "/")
            # A link would publish whatever it points to, anywhere.
            if os.path.islink(full):
                parser.error(f"{relative} is a symbolic link: put the file itself in {args.source}")
            # The program splits a listing line at its first "=", expands
            # "%NAME%" in its paths, and reads a line break as a line's end.
            bad = [c for c in "=%\r\n" if c in name]
            if bad:
                shown = " and ".join(repr(c) for c in bad)
                parser.error(f"{relative}: a name holding {shown} cannot be published (rename it)")
            if name in names and os.path.isfile(full):
                files.append(relative)
    if not files:
        parser.error(f"{args.source} holds no files")

    # Every name written below SERVER, with its .sig: none may be another's.
    written = {}

    def claim(name, what):
        fault = name_fault(name)
        if fault:
            parser.error(f"{what}: its name on the server, {name!r}, {fault}")
        for taken in (name, name + ".sig"):
            if taken in written:
                parser.error(f"{what} and {written[taken]} would both be published as {taken}")
            written[taken] = what

    remotes = {}
    times = {}
    for relative in files:
        remote = remote_name(relative)
        claim(prefix + remote, relative)
        remotes[remote] = relative
        # Whole seconds: the server's Last-Modified, the signed time and the
        # installed file's time are then one and the same.
        times[relative] = os.stat(os.path.join(source, relative)).st_mtime_ns // 10**9
        if times[relative] < 0:
            parser.error(f"{relative} dates from before 1970: give it its real modification time")
    if args.program is not None and args.program.replace(os.sep, "/") not in files:
        parser.error(f"the program {args.program} is not in {args.source}")
    if args.notes:
        notes_name = args.notes_name or os.path.basename(args.notes)
        if not os.path.isfile(args.notes):
            parser.error(f"the notes {args.notes} are not a file")
        notes_time = os.stat(args.notes).st_mtime_ns // 10**9
        if notes_time < 0:
            parser.error(f"{args.notes} dates from before 1970: give it its real modification time")
        claim(notes_name, f"the notes {args.notes}")
    if args.listing:
        claim(prefix + args.listing, f"the listing {args.listing}")

    for remote, relative in remotes.items():
        with open(os.path.join(source, relative), "rb") as f:
            data = f.read()
        publish(server, prefix + remote, zlib.compress(data, 9), times[relative], key, unpacked=data)
        print(f"{prefix}{remote}  <-  {relative}")

    if args.notes:
        with open(args.notes, "rb") as f:
            notes = f.read()
        publish(server, notes_name, notes, notes_time, key)
        print(f"{notes_name}  <-  {args.notes}")

    if args.listing:
        program = args.program.replace(os.sep, "/") if args.program else None
        lines = []
        for remote, relative in remotes.items():
            if relative == program:
                continue
            local = relative.replace("/", "\\") if args.windows else relative
            lines.append(f"{local}={remote}")
        listing = "".join(line + "\r\n" for line in lines).encode("utf-8", "surrogateescape")
        # A listing that has not changed keeps its time, so its statement
        # stays the same too; a new one is dated now.
        path = os.path.join(server, *(prefix + args.listing).split("/"))
        seconds = int(time.time())
        try:
            with open(path, "rb") as f:
                if f.read() == listing:
                    seconds = max(0, os.stat(f.fileno()).st_mtime_ns // 10**9)
        except OSError:
            pass
        publish(server, prefix + args.listing, listing, seconds, key)
        print(f"{prefix}{args.listing}  ({len(lines)} entries)")
    if key is None:
        print("warning: no --key given: nothing is signed, and a program that trusts an update key"
              " refuses these files", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
