"""A folder of the project that goes missing fails configuring and is named: no suite can
vanish while ctest goes on passing without it."""
import shutil

import pytest
from source_tree import SOURCE, configure, copy_tree, one_line

# Every suite there is, found in the tree, so that a new one is covered too.
FOLDERS = ["service", "tests"] + sorted(str(path.parent.relative_to(SOURCE))
                                        for path in SOURCE.glob("tests/*/CMakeLists.txt"))


def test_every_suite_is_among_the_cases():
    assert {"tests/unit", "tests/process", "tests/service", "tests/project"} <= set(FOLDERS)


@pytest.mark.parametrize("folder", FOLDERS)
def test_a_missing_folder_fails_configuring_and_is_named(tmp_path, folder):
    tree = copy_tree(tmp_path / "tree")
    shutil.rmtree(tree / folder)
    done = configure(tree, tmp_path / "build")
    assert done.returncode != 0
    assert "The folder %s (or its CMakeLists.txt) is missing" % folder in one_line(done.stderr)
