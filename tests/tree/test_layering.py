"""The tree is the architecture: each folder includes only from its own level or below, and Qt
headers appear only in the desktop folders that are allowed to show windows."""
import os
import re
import subprocess
import unittest

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

# Level of each source folder; a file may include from folders of its level or lower.
LEVELS = {
    "platform": 0,
    "message": 1,
    "gateway": 2,
    "transport": 3,
    "sweeper": 4,
    "engine": 5,
    "desktop": 5,
    "admin": 6,
    "queues": 6,
    "monitor": 6,
    "widgets": 6,
    "apps": 7,
}
QT_FOLDERS = {"widgets", "apps"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
QT_HEADER = re.compile(r"^(Q[A-Za-z]+|Qt[A-Za-z]+/.*|q[a-z]+\.h)$")


def sources(folder):
    for base, _, files in os.walk(os.path.join(TOP, folder)):
        for name in files:
            if name.endswith((".cpp", ".h", ".hpp")):
                yield os.path.join(base, name)


def includes(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if m:
                yield number, m.group(1), m.group(2)


class Layering(unittest.TestCase):
    def test_no_include_from_a_higher_folder(self):
        wrong = []
        for folder, level in LEVELS.items():
            for path in sources(folder):
                for number, _, name in includes(path):
                    top = name.split("/", 1)[0]
                    if top in LEVELS and LEVELS[top] > level:
                        wrong.append(f"{os.path.relpath(path, TOP)}:{number}: {name}")
        self.assertEqual(wrong, [], "includes from a higher folder")

    def test_qt_only_in_desktop_folders(self):
        wrong = []
        for folder in LEVELS:
            if folder in QT_FOLDERS:
                continue
            for path in sources(folder):
                for number, bracket, name in includes(path):
                    if bracket == "<" and QT_HEADER.match(name):
                        wrong.append(f"{os.path.relpath(path, TOP)}:{number}: {name}")
        self.assertEqual(wrong, [], "Qt headers outside widgets/ and apps/")

    def test_known_folders_only(self):
        # A new source folder must be given its level here before it can hold code. Only what
        # git tracks counts: build folders and other local leftovers are not the tree.
        listed = subprocess.run(["git", "ls-files"], cwd=TOP, capture_output=True, text=True)
        if listed.returncode != 0:
            self.skipTest("not a git checkout")
        code_folders = {path.split("/", 1)[0] for path in listed.stdout.splitlines()
                        if "/" in path and path.endswith((".cpp", ".h", ".hpp"))}
        self.assertEqual(sorted(code_folders - set(LEVELS) - {"tests", "fuzz", "bench"}), [])

if __name__ == "__main__":
    unittest.main()
