#!/usr/bin/env python3
"""The version lives in one place, project(pavonix VERSION x.y.z): the
resource script takes it from the header CMake writes, scripts/release reads
it from there, and every version the README names is that one."""

import os
import re
import subprocess
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def read(*parts):
    with open(os.path.join(ROOT, *parts), encoding="utf-8") as f:
        return f.read()


class VersionTest(unittest.TestCase):
    def setUp(self):
        m = re.search(r"^project\(pavonix VERSION (\d+\.\d+\.\d+)[ )]", read("CMakeLists.txt"),
                      re.M)
        self.assertIsNotNone(m, "no project(pavonix VERSION x.y.z)")
        self.version = m.group(1)

    def test_readme_names_the_project_version(self):
        readme = read("README.md")
        named = re.findall(r"project\(pavonix VERSION (\d+\.\d+\.\d+)", readme)
        named += re.findall(r"\bpavonix (\d+\.\d+\.\d+)\b", readme)
        self.assertTrue(named, "the README names no version")
        self.assertEqual(set(named), {self.version})

    def test_no_second_definition_in_the_sources(self):
        self.assertIn('#define PAVONIX_VERSION_TEXT "@PROJECT_VERSION@"',
                      read("ui", "res", "version.h.in"))
        self.assertIn('#include "pavonix_version.h"', read("ui", "res", "pavonix.rc"))
        for path in ("ui/res/resource.h", "ui/res/pavonix.rc"):
            self.assertNotRegex(read(path), r"(?m)^#define PAVONIX_VERSION", path)

    def test_release_script_reads_the_same_version(self):
        script = read("scripts", "release")
        m = re.search(r"^version=\$\(sed -n '([^']*)' ", script, re.M)
        self.assertIsNotNone(m, "scripts/release no longer reads the version with sed")
        out = subprocess.run(["sed", "-n", m.group(1), os.path.join(ROOT, "CMakeLists.txt")],
                             check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
        self.assertEqual(out, self.version)


if __name__ == "__main__":
    unittest.main(verbosity=2)
