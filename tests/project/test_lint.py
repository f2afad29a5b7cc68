"""`make lint` fails on a finding of each kind it looks for, wherever the code lies, and passes
on the tree. Each case plants its finding in one copy of the tree and takes it out again."""
import contextlib
import os
import subprocess

import pytest
from source_tree import configure, copy_tree

MAIN = "src/main.cpp"  # clang-tidy's runs are kept to this file: all of them take minutes


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    tree = copy_tree(tmp_path_factory.mktemp("lint") / "tree")
    done = configure(tree, tree / "build")
    assert done.returncode == 0, done.stderr
    return tree


def lint(tree, kind=None):
    """`make lint` on the tree, of one kind or, with none, of all."""
    env = dict(os.environ, TIDY_FILES=MAIN)
    kinds = ["LINT_KINDS=" + kind] if kind else []
    return subprocess.run(["make", "-C", str(tree), "lint", "BUILD=" + str(tree / "build"), *kinds],
                          env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=600)


@contextlib.contextmanager
def planted(tree, name, text):
    """`text` added at the end of the file, or making it, for the time of the block."""
    path = tree / name
    before = path.read_text() if path.exists() else None
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text((before or "") + text)
    try:
        yield
    finally:
        if before is None:
            path.unlink()
        else:
            path.write_text(before)


@pytest.mark.parametrize("kind", ["cpp-tidy", "cpp-format", "python3", "python2"])
def test_each_lint_passes_on_the_tree(tree, kind):
    done = lint(tree, kind)
    assert done.returncode == 0, done.stdout + done.stderr


# (kind, file, text added at its end or making a new file, what the finding's report says)
PLANTED = [
    ("cpp-tidy", MAIN, "\nint* planted = 0;\n", "src/main.cpp:"),
    ("cpp-tidy", MAIN, "\nint* planted = 0;\n", "[modernize-use-nullptr"),
    ("cpp-format", "tests/unit/interpreter.h", "int  planted ;\n", "tests/unit/interpreter.h:"),
    ("cpp-format", "src/python/object.cpp", "int  planted ;\n", "src/python/object.cpp:"),
    ("python3", "tests/check_queries.py", "import json\n", "tests/check_queries.py:"),
    # Python without a .py name, found by its first line.
    ("python3", "scripts/planted", "#!/usr/bin/python3\nimport os\n", "scripts/planted:2:1: 'os' imported but unused"),
    ("python3", "service/localblast/planted.py", "print(undefined)\n", "undefined name 'undefined'"),
    ("python3", "bench/planted/bench_planted.py", "import sys\n", "bench/planted/bench_planted.py:1:1"),
    ("python2", "lib/Tarvo/Blast/planted.py", "def broken(:\n", 'File "lib/Tarvo/Blast/planted.py", line 1'),
    ("python2", "tests/toolkit/planted.py", "print 'fine'\nclass Broken\n", 'File "tests/toolkit/planted.py", line 2'),
    ("python2", "tests/process/fixture_toolkit/Tarvo/planted.py", "x = (\n", "tests/process/fixture_toolkit/Tarvo/planted.py"),
]


@pytest.mark.parametrize("kind, name, text, report", PLANTED,
                         ids=["%s in %s: %s" % (kind, name, report) for kind, name, _, report in PLANTED])
def test_a_planted_finding_fails_the_lint(tree, kind, name, text, report):
    with planted(tree, name, text):
        done = lint(tree, kind)
    assert done.returncode != 0
    assert report in done.stdout + done.stderr
    assert "lint: findings in: " + kind in done.stderr


def test_an_unknown_kind_fails_naming_the_kinds_before_any_runs(tree):
    # python2 would find the planted fault, had it run.
    with planted(tree, "lib/Tarvo/Blast/planted.py", "def broken(:\n"):
        done = lint(tree, "python2 pythn3")
    assert done.returncode != 0
    assert "lint: unknown kind 'pythn3': the kinds are cpp-tidy cpp-format python3 python2" in done.stderr
    assert "planted" not in done.stdout + done.stderr


def test_make_lint_alone_runs_every_kind(tree):
    assert lint(tree).returncode == 0
    first_of_each_kind = {kind: (name, text) for kind, name, text, _ in reversed(PLANTED)}
    with contextlib.ExitStack() as plants:
        for name, text in first_of_each_kind.values():
            plants.enter_context(planted(tree, name, text))
        done = lint(tree)
    assert done.returncode != 0
    assert "lint: findings in: cpp-tidy cpp-format python3 python2:lib\n" in done.stderr
