#!/usr/bin/env python3
"""The layer check: each row is one include in a small tree, and whether it may stand."""

import importlib.machinery
import importlib.util
import pathlib
import sys
import tempfile
import unittest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check-layers"


def load_checker():
    loader = importlib.machinery.SourceFileLoader("check_layers", str(SCRIPT))
    spec = importlib.util.spec_from_loader("check_layers", loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


checker = load_checker()

# (file, included name, allowed). Every included header exists in the tree.
CASES = [
    ("platform/Paths.cpp", "platform/Paths.h", True),
    ("platform/Paths.cpp", "core/archive/ArchiveItem.h", False),
    ("platform/faults/FaultSeam.cpp", "platform/Paths.h", True),
    ("core/archive/ArchiveItem.cpp", "platform/Paths.h", True),
    ("core/archive/ArchiveItem.cpp", "engines/EngineFactory.h", False),
    ("core/archive/ArchiveItem.cpp", "core/workspace/WorkspaceModel.h", False),
    ("engines/zip/ZIPAdd.cpp", "core/archive/ArchiveItem.h", True),
    ("engines/zip/ZIPAdd.cpp", "engines/zip/container/ZipStatus.h", True),
    ("engines/zip/container/ZipStatus.cpp", "engines/zip/ZIPAdd.h", True),
    ("engines/zip/ZIPAdd.cpp", "engines/codec/Inflate.h", True),
    ("engines/zip/ZIPAdd.cpp", "engines/tar/Crc32.h", False),
    ("engines/sevenzip/container/Coders.cpp", "engines/rar/RARBridge.h", False),
    ("engines/zip/ZIPAdd.cpp", "engines/EngineFactory.h", False),
    ("engines/zip/ZIPAdd.cpp", "core/workspace/WorkspaceModel.h", False),
    ("engines/codec/Inflate.cpp", "engines/zip/ZIPAdd.h", False),
    ("engines/tar/TarWriter.cpp", "Crc32.h", True),  # beside the file
    ("engines/EngineFactory.cpp", "engines/zip/ZIPAdd.h", True),
    ("engines/EngineFactory.cpp", "core/workspace/WorkspaceModel.h", False),
    ("core/workspace/ArchiveEdits.cpp", "engines/EngineFactory.h", True),
    ("core/workspace/ArchiveEdits.cpp", "engines/FormatDetection.h", True),
    ("core/workspace/ArchiveEdits.cpp", "engines/zip/ZIPAdd.h", False),
    ("core/workspace/ArchiveEdits.cpp", "engines/codec/Inflate.h", False),
    ("core/workspace/ArchiveEdits.cpp", "core/archive/ArchiveItem.h", True),
    ("core/workspace/ArchiveEdits.cpp", "ui/Outcome.h", False),
    ("ui/Outcome.cpp", "core/workspace/WorkspaceModel.h", True),
    ("ui/Outcome.cpp", "core/archive/ArchiveItem.h", True),
    ("ui/Outcome.cpp", "engines/EngineFactory.h", False),
    ("ui/Outcome.cpp", "engines/tar/Crc32.h", False),
    ("bench/Run.cpp", "engines/tar/Crc32.h", True),  # outside the layers
]

HEADERS = sorted({included for _, included, _ in CASES if "/" in included} |
                 {"engines/tar/Crc32.h"})


class CheckLayersTest(unittest.TestCase):
    def test_each_include_is_judged_by_its_layers(self):
        for source, included, expected in CASES:
            with self.subTest(source=source, included=included):
                with tempfile.TemporaryDirectory(prefix="vexa-layers-") as folder:
                    root = pathlib.Path(folder)
                    for header in HEADERS:
                        (root / header).parent.mkdir(parents=True, exist_ok=True)
                        (root / header).write_text("#pragma once\n")
                    (root / source).parent.mkdir(parents=True, exist_ok=True)
                    (root / source).write_text(f'// a file\n#include "{included}"\n')
                    found = checker.violations(root)
                    if expected:
                        self.assertEqual(found, [])
                    else:
                        self.assertEqual(len(found), 1)
                        self.assertTrue(found[0].startswith(f"{source}:2: "), found[0])

    def test_the_repository_keeps_its_layers(self):
        self.assertEqual(checker.violations(SCRIPT.parents[1]), [])


if __name__ == "__main__":
    sys.exit(unittest.main())
