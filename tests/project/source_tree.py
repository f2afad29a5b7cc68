"""Copies of the source tree and configure runs of it, for the project's own checks."""
import os
import shutil
import subprocess
from pathlib import Path

SOURCE = Path(os.environ.get("QBLAST_SOURCE_DIR") or Path(__file__).resolve().parents[2])
# Found once, before any test changes PATH.
CMAKE = shutil.which("cmake")
CTEST = shutil.which("ctest")


def copy_tree(target):
    """The source tree as a clone has it: no build folders, caches or repository history."""
    def skipped(folder, names):
        top = Path(folder) == SOURCE
        return [name for name in names
                if name in (".git", "__pycache__") or name.endswith(".pyc")
                or (top and (name == "build" or name.startswith("build-")))]
    shutil.copytree(SOURCE, target, ignore=skipped, symlinks=True)
    return target


def configure(source, build, *options, env=None):
    return subprocess.run([CMAKE, "-S", str(source), "-B", str(build), *options], env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=600)


def one_line(text):
    """CMake's messages wrapped and indented as one line, to look for a sentence in them."""
    return " ".join(text.split())
