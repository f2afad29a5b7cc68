"""A machine without BLAST+ configures, builds and installs the program and the toolkit, told in
one line what is left out; the suites that need the local service's database say it is missing."""
import os
import shutil
import subprocess

import pytest
from source_tree import CMAKE, CTEST, SOURCE, configure, one_line

HIDDEN = {"makeblastdb", "blastdb_aliastool"}
NOTE = ("The local BLAST service's database is left out: BLAST+ (makeblastdb, blastdb_aliastool) is not "
        "on PATH; run scripts/install-deps (Debian package ncbi-blast+) and configure again.")


@pytest.fixture
def env(tmp_path):
    """The environment with a PATH of every program on it but BLAST+'s database tools."""
    folder = tmp_path / "bin"
    folder.mkdir()
    for directory in os.environ["PATH"].split(os.pathsep):
        if not os.path.isdir(directory):
            continue
        for name in sorted(os.listdir(directory)):
            if name not in HIDDEN and not os.path.lexists(folder / name):
                os.symlink(os.path.join(directory, name), folder / name)
    path = str(folder)
    assert shutil.which("makeblastdb", path=path) is None and shutil.which("c++", path=path)
    return dict(os.environ, PATH=path)


def cache_value(build, name):
    for line in (build / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    raise AssertionError("%s is not in %s" % (name, build / "CMakeCache.txt"))


def test_configuring_says_in_one_line_that_the_database_is_left_out(tmp_path, env):
    build = tmp_path / "build"
    done = configure(SOURCE, build, env=env)
    assert done.returncode == 0, done.stderr
    assert [line for line in (done.stdout + done.stderr).splitlines() if "left out" in line] == [NOTE]
    # A suite that runs the service is not run, and what stopped it says why and what to do.
    run = subprocess.run([CTEST, "--test-dir", str(build), "-R", "^service.protocol$", "--output-on-failure"],
                         env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    assert run.returncode != 0
    shown = one_line(run.stdout + run.stderr)
    assert "has not been built" in shown and "scripts/install-deps" in shown
    assert "service.protocol" in shown and "Not Run" in shown


def test_the_program_and_the_toolkit_build_and_install(tmp_path, env):
    build, stage = tmp_path / "build", tmp_path / "stage"
    done = configure(SOURCE, build, "-DQBLAST_TESTS=OFF", env=env)
    assert done.returncode == 0, done.stderr
    for command in ([CMAKE, "--build", str(build), "-j", "2"], [CMAKE, "--install", str(build)]):
        step = subprocess.run(command, env=dict(env, DESTDIR=str(stage)), stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=800)
        assert step.returncode == 0, step.stdout + step.stderr
    prefix = cache_value(build, "CMAKE_INSTALL_PREFIX").lstrip("/")
    toolkit = cache_value(build, "QBLAST_TOOLKIT_INSTALL_DIR").lstrip("/")
    assert os.access(stage / prefix / "bin" / "qblast-check", os.X_OK)
    assert (stage / toolkit / "Tarvo" / "Blast" / "Skelda.py").is_file()
    assert not (build / "service" / "db").exists()
