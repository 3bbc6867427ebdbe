#!/usr/bin/env python3
"""The update publishing tool run on temporary folders: what it publishes, and
the source folders it refuses without writing anything."""
import os
import subprocess
import sys
import tempfile
import unittest
import zlib

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "publish-update.py")


class PublishUpdateTest(unittest.TestCase):
    def setUp(self):
        self._folder = tempfile.TemporaryDirectory()
        self.root = self._folder.name
        self.source = os.path.join(self.root, "dist")
        self.server = os.path.join(self.root, "server")
        self.write("restlevel", b"program")
        self.write("lib/helper.so", b"helper")

    def tearDown(self):
        self._folder.cleanup()

    def write(self, relative, data, mtime=None):
        path = os.path.join(self.source, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        if mtime is not None:
            os.utime(path, (mtime, mtime))
        return path

    def publish(self, *extra):
        return subprocess.run([sys.executable, TOOL, self.source, self.server, "--program", "restlevel",
                               "--listing", "files.txt", *extra], capture_output=True, text=True)

    def test_publishes_packages_with_their_times_and_the_listing(self):
        self.write("lib/helper.so", b"helper" * 100, mtime=1700000000)
        result = self.publish("--under", "linux-x86_64")
        self.assertEqual(result.returncode, 0, result.stderr)
        packages = os.path.join(self.server, "linux-x86_64")
        with open(os.path.join(packages, "lib/helper.zbin"), "rb") as f:
            self.assertEqual(zlib.decompress(f.read()), b"helper" * 100)
        self.assertEqual(os.stat(os.path.join(packages, "lib/helper.zbin")).st_mtime, 1700000000)
        with open(os.path.join(packages, "files.txt"), "rb") as f:
            self.assertEqual(f.read(), b"lib/helper.so=lib/helper.zbin\r\n")

    def test_refuses_names_the_listing_would_misread(self):
        for relative, shown in [
            ("a=b.so", "'='"),
            ("100%.txt", "'%'"),
            ("%HOME%/notes.txt", "'%'"),
            ("sub=folder/file.so", "'='"),
            ("two\nlines.so", "'\\n'"),
            ("x=%y", "'=' and '%'"),
        ]:
            with self.subTest(relative=relative):
                path = self.write(relative, b"data")
                result = self.publish()
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(shown, result.stderr)
                self.assertIn("cannot be published", result.stderr)
                self.assertFalse(os.path.exists(self.server), "something was published")
                os.remove(path)
                if os.path.dirname(relative):
                    os.rmdir(os.path.dirname(path))
        # With those gone the folder publishes.
        self.assertEqual(self.publish().returncode, 0)

    def test_refuses_symbolic_links(self):
        outside = os.path.join(self.root, "secret")
        with open(outside, "wb") as f:
            f.write(b"not to be published")
        os.makedirs(os.path.join(self.root, "elsewhere"))
        for relative, target in [
            ("link.so", outside),
            ("lib/dangling.so", os.path.join(self.root, "missing")),
            ("linked-folder", os.path.join(self.root, "elsewhere")),
        ]:
            with self.subTest(relative=relative):
                link = os.path.join(self.source, relative)
                os.symlink(target, link)
                result = self.publish()
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(f"{relative} is a symbolic link", result.stderr)
                self.assertFalse(os.path.exists(self.server), "something was published")
                os.remove(link)


if __name__ == "__main__":
    unittest.main()
