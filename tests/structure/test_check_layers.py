#!/usr/bin/env python3
"""The layer check on small made-up trees: each breaks one rule, or none."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import check_layers  # noqa: E402

CLEAN = {
    "app/main.cpp": '#include "window/MainWindow.h"\n#include "core/Run.h"\n',
    "window/MainWindow.h": '#include "core/Run.h"\n',
    "core/Run.h": '#include "zip32.h"\n',
    "core/PlatformPosix.cpp": "#ifdef Q_OS_WIN\n#endif\n",
    "zip32/include/zip32.h": "#if defined(_WIN32)\n#endif\n",
    "zip32/src/api/zip32.cpp": '#include "write/Archive.h"\n#include "zip32.h"\n',
    "zip32/src/write/Archive.h": '#include "names/Names.h"\n#include "platform/Platform.h"\n',
    "zip32/src/names/Names.h": "",
    "zip32/src/platform/Platform.h": "",
    "zip32/src/platform/PlatformPosix.cpp": '#include "platform/Platform.h"\n#ifndef _WIN32\n#endif\n',
}

CASES = [
    ("clean", {}, []),
    ("top-level folder upward", {"core/Run.cpp": '#include "window/MainWindow.h"\n'},
     ["core/Run.cpp includes window/MainWindow.h", "core/Run <-> window/MainWindow"]),
    ("engine folder upward", {"zip32/src/names/Names.cpp": '#include "write/Archive.h"\n'},
     ["zip32/src/names/Names.cpp includes zip32/src/write/Archive.h", "zip32/src/names/Names <-> zip32/src/write/Archive"]),
    ("platform reaching up, beside the header", {"zip32/src/platform/PlatformPosix.cpp": '#include "../names/Names.h"\n'},
     ["zip32/src/names is above zip32/src/platform"]),
    ("engine into the program", {"zip32/src/names/Names.cpp": '#include "core/Run.h"\n'},
     ["core is above zip32/src/names"]),
    ("modules in a circle", {"zip32/src/names/A.h": '#include "names/B.h"\n', "zip32/src/names/B.cpp": '#include "names/A.h"\n',
                             "zip32/src/names/B.h": ""},
     ["modules include each other: zip32/src/names/A <-> zip32/src/names/B"]),
    ("a circle through a system's source", {"zip32/src/platform/PlatformPosix.cpp": '#include "platform/Platform.h"\n#include "platform/Rule.h"\n',
                                            "zip32/src/platform/Rule.cpp": '#include "platform/Platform.h"\n',
                                            "zip32/src/platform/Rule.h": ""},
     ["zip32/src/platform/Platform <-> zip32/src/platform/Rule"]),
    ("system branch outside the platform files", {"zip32/src/write/Archive.cpp": "#if defined(__linux__) && 1\n#endif\n",
                                                  "window/Dialogs.cpp": "#elif Q_OS_WIN\n"},
     ["zip32/src/write/Archive.cpp branches on the system", "window/Dialogs.cpp branches on the system"]),
]


class LayerCheck(unittest.TestCase):
    def test_cases(self):
        for name, changes, expected in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as root:
                for path, text in {**CLEAN, **changes}.items():
                    os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
                    with open(os.path.join(root, path), "w") as f:
                        f.write(text)
                problems = check_layers.check(root)
                for wanted in expected:
                    self.assertTrue(any(wanted in p for p in problems), "%r not in %r" % (wanted, problems))
                self.assertEqual(len(problems), len(expected), problems)


if __name__ == "__main__":
    unittest.main()
