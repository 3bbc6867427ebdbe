#!/usr/bin/env python3
"""Writes an update server's folder for RestLevel's automatic update.

    publish-update.py SOURCE SERVER [--under FOLDER] [--notes FILE]
                      [--notes-name NAME] [--program NAME] [--listing NAME]
                      [--windows]
    publish-update.py --new-key PREFIX

Every file below SOURCE becomes one zlib stream in SERVER, named like the file
with its extension replaced by ".zbin" (RestLevel.exe -> RestLevel.zbin,
restlevel -> restlevel.zbin, sub-folders kept; below SERVER/FOLDER with
--under), whose modification time is the file's own: the program compares that time, as the web server's Last-Modified,
with its installed file. --notes copies the release notes (RTF) into SERVER,
under --notes-name (default: the notes' own name). --listing writes an update
listing of that name: one line "local path=remote name" for every file but
the program's own (--program, its name below SOURCE), local paths relative to
the program's folder, with backslashes when --windows is given; it is written
beside the packages.

The Windows program is published with its packages at the top:
    publish-update.py dist-windows server --program RestLevel.exe --notes notes.rtf
and the Linux program below "linux-x86_64", with the same notes:
    publish-update.py dist-linux server --under linux-x86_64 --program restlevel --notes notes.rtf

Symbolic links in SOURCE, and names that hold "=", "%" or a line break (which
the program would split, expand or cut in the listing), are refused before
anything is written.

--new-key makes a signing key pair (ECDSA, P-256): PREFIX.pem is the private
half (readable by its owner only; keep it off any repository), PREFIX.pub.pem
the public half that a build of the program is given to trust. An existing
file is never overwritten.

Any static web server that sends Last-Modified serves the result (nginx,
Apache, or "python3 -m http.server" for a try). Publishing again rewrites
what changed and leaves the rest as it was.
"""
import argparse
import os
import sys
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


def remote_name(relative):
    folder, name = os.path.split(relative)
    stem, extension = os.path.splitext(name)
    if not stem:  # ".profile": the dot starts the name, not an extension
        stem = name
    return (folder + "/" if folder else "") + stem + ".zbin"


def write_with_time(path, data, source_stat):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    temporary = path + ".part"
    with open(temporary, "wb") as out:
        out.write(data)
    os.utime(temporary, ns=(source_stat.st_atime_ns, source_stat.st_mtime_ns))
    # A server that is being read while we publish never serves half a file.
    os.replace(temporary, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", nargs="?", help="the folder of files to publish")
    parser.add_argument("server", nargs="?", help="the update server's folder to write")
    parser.add_argument("--new-key", metavar="PREFIX", help="make a signing key pair PREFIX.pem, PREFIX.pub.pem")
    parser.add_argument("--under", default="", help="write the packages and the listing below this sub-folder")
    parser.add_argument("--notes", help="release notes (RTF) to publish beside the files")
    parser.add_argument("--notes-name", help="the notes' name on the server")
    parser.add_argument("--program", help="the program's own file, relative to SOURCE (left out of the listing)")
    parser.add_argument("--listing", help="write an update listing of this name")
    parser.add_argument("--windows", action="store_true", help="local paths of the listing with backslashes")
    args = parser.parse_args()

    if args.new_key:
        if args.source or args.server:
            parser.error("--new-key publishes nothing: give it no folders")
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

    remotes = {}
    for relative in files:
        remote = remote_name(relative)
        if remote in remotes:
            parser.error(f"{relative} and {remotes[remote]} would both be published as {remote}")
        remotes[remote] = relative
    if args.program is not None and args.program.replace(os.sep, "/") not in files:
        parser.error(f"the program {args.program} is not in {args.source}")

    packages = os.path.join(server, args.under)
    for remote, relative in remotes.items():
        full = os.path.join(source, relative)
        with open(full, "rb") as f:
            data = f.read()
        write_with_time(os.path.join(packages, remote), zlib.compress(data, 9), os.stat(full))
        print(f"{os.path.join(args.under, remote)}  <-  {relative}")

    if args.notes:
        notes_name = args.notes_name or os.path.basename(args.notes)
        with open(args.notes, "rb") as f:
            notes = f.read()
        write_with_time(os.path.join(server, notes_name), notes, os.stat(args.notes))
        print(f"{notes_name}  <-  {args.notes}")

    if args.listing:
        program = args.program.replace(os.sep, "/") if args.program else None
        lines = []
        for remote, relative in remotes.items():
            if relative == program:
                continue
            local = relative.replace("/", "\\") if args.windows else relative
            lines.append(f"{local}={remote}")
        os.makedirs(packages, exist_ok=True)
        with open(os.path.join(packages, args.listing), "w", newline="") as f:
            f.write("".join(line + "\r\n" for line in lines))
        print(f"{os.path.join(args.under, args.listing)}  ({len(lines)} entries)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
