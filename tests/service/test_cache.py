"""The cache of what the service makes from the files it is given: a FASTA file built from any
path into a cache folder of any name, builds in progress told from dead ones by their locks
(never by process ids, which mean nothing to a cache shared between machines), the taxonomy
index read at a path of any name, and a start-up interrupted while it builds or indexes, which
stops with one line and leaves the cache as it was."""
import fcntl
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import database_folder
from gates import Gate
from localblast.databases import blastdbcmd, cache, fasta, taxonomy
from localblast.errors import Refused
from logs import Logs
from service_process import SCRIPT

FASTA = ">ref|XP_000001.1| one\nMKTAYIAKQRQISFVKSHFSRQ\n>ref|XP_000002.1| two\nMKTAYIAKQRQISFVKSHFSRA\n"
IMPOSTOR = ">ref|XP_000001.1| impostor\nMKTAYIAKQRQISFVKSHFSRW\n"
NAMES = "9606\t|\tHomo sapiens\t|\t\t|\tscientific name\t|\n9606\t|\thuman\t|\t\t|\tgenbank common name\t|\n"


def entries(folder):
    """What a kind's folder of the cache holds but its own lock."""
    return sorted(name for name in os.listdir(str(folder)) if name != cache.LOCK)


@pytest.mark.parametrize("name", ["my file.fa", "-mine.fa", "it's \"quoted\".fa", "100% #1?.fa", "ünï côde.fa"])
def test_a_fasta_file_at_any_path_is_built_into_a_cache_of_any_name(tmp_path, monkeypatch, name):
    # makeblastdb reads -in as files separated by blanks: "my file.fa" would be the files "my"
    # and "file.fa", which stand here in the working folder.
    monkeypatch.chdir(tmp_path)
    for impostor in ("my", "file.fa"):
        (tmp_path / impostor).write_text(IMPOSTOR)
    (tmp_path / name).write_text(FASTA)
    logs = Logs()
    database = fasta.served("mine", None, str(tmp_path / name), str(tmp_path / name.replace(".fa", "")), logs)
    assert blastdbcmd.entry(database, "XP_000001.1", 1000).title == "one", list(logs)


def test_an_interrupted_build_leaves_nothing_that_a_later_start_would_take(tmp_path):
    def interrupted(folder):
        (tmp_path / "seen").write_text(folder)
        (tmp_path.joinpath(folder) / "mine.pin").write_text("half")
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        cache.entry(str(tmp_path), "fasta", "mine-protein-KEY", interrupted, lambda other: True, print)
    assert entries(tmp_path / "fasta") == []


def a_build(folder, name, held):
    """A build's folder in the cache's `folder` under `name`; its lock held by an open file of
    this test (as another service's is) if `held`, else with a lock that nobody holds or none."""
    (folder / name).mkdir(parents=True)
    if held is None:
        return None
    lock = open(str(folder / name / cache.LOCK), "w")
    if held:
        fcntl.flock(lock, fcntl.LOCK_EX)
    else:
        lock.close()
    return lock


def test_a_build_is_removed_once_nobody_holds_its_lock(tmp_path):
    folder = tmp_path / "fasta"
    # Process ids mean nothing to a cache that other machines share: this one names no process here.
    running = a_build(folder, cache.BUILDING + "999999999-mine-protein-KEY", held=True)
    a_build(folder, cache.BUILDING + "dead", held=False)
    a_build(folder, cache.BUILDING + "unlocked", held=None)
    (tmp_path / "other.fa").write_text(FASTA)
    fasta.served("other", None, str(tmp_path / "other.fa"), str(tmp_path), print)
    assert [name for name in entries(folder) if name.startswith(cache.BUILDING)] == [
        cache.BUILDING + "999999999-mine-protein-KEY"]
    running.close()
    fasta.served("other", None, str(tmp_path / "other.fa"), str(tmp_path), print)
    assert [name for name in entries(folder) if name.startswith(cache.BUILDING)] == []


@pytest.mark.parametrize("name", ["c#d", "c?mode=rw", "c%20d", "c d"])
def test_the_taxonomy_index_is_read_at_a_path_of_any_name(tmp_path, name):
    (tmp_path / "names.dmp").write_text(NAMES)
    index = taxonomy.NamesIndex(str(tmp_path / "names.dmp"), str(tmp_path / name), print)
    assert index.taxids("Human") == {9606}
    assert sorted(os.listdir(str(tmp_path))) == sorted(["names.dmp", name])


def test_an_index_that_cannot_be_read_refuses_the_organism_naming_the_cause(tmp_path):
    (tmp_path / "names.dmp").write_text(NAMES)
    index = taxonomy.NamesIndex(str(tmp_path / "names.dmp"), str(tmp_path / "cache"), print)
    with open(index.index, "r+b") as stream:
        stream.write(b"not a database" * 100)
    with pytest.raises(Refused, match="ENTREZ_QUERY: the taxonomy names of names.dmp cannot be read: .*not a database"):
        index.taxids("human")


class Starting:
    """The service started as a user starts it, for a test that stops it while it starts."""

    def __init__(self, arguments, environment=None):
        self.logs = Logs()
        self.process = subprocess.Popen([sys.executable, SCRIPT] + arguments, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=environment)
        self._reader = threading.Thread(target=lambda: [self.logs(line.decode("utf-8", "replace").rstrip("\n"))
                                                        for line in self.process.stderr])
        self._reader.start()

    def stop(self, number):
        """(exit status, log lines) once the signal has stopped it."""
        self.process.send_signal(number)
        status = self.process.wait(timeout=120)
        self._reader.join(60)
        self.process.stderr.close()
        return status, list(self.logs)


def fed(fifo, text, starting, timeout=120):
    """Opens the named pipe for writing once the service has opened it for reading (until then
    opening fails); writes `text` into it. The descriptor, open."""
    end = time.monotonic() + timeout
    while True:
        try:
            descriptor = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError:
            assert starting.process.poll() is None and time.monotonic() < end, list(starting.logs)
            time.sleep(0.02)
    os.set_blocking(descriptor, True)
    os.write(descriptor, text.encode())
    return descriptor


def interrupted_building(tmp_path, number):
    """Stops a service with signal `number` while makeblastdb builds a FASTA file."""
    gate = Gate(str(tmp_path), "makeblastdb")
    (tmp_path / "mine.fa").write_text(FASTA)
    starting = Starting(["--fasta", "mine=%s" % (tmp_path / "mine.fa"), "--cache", str(tmp_path / "cache")],
                        dict(os.environ, PATH=str(tmp_path) + os.pathsep + os.environ["PATH"]))
    try:
        gate.wait_started(1)
        return starting.stop(number), tmp_path / "cache" / "fasta"
    finally:
        gate.open()


def interrupted_indexing(tmp_path, number):
    """Stops a service with signal `number` while it indexes taxonomy names, read from a named
    pipe that the test feeds: once whole (for the file's key), then in part (the index)."""
    fifo = str(tmp_path / "names.dmp")
    os.mkfifo(fifo)
    starting = Starting(["--db", database_folder(), "--taxonomy", fifo, "--cache", str(tmp_path / "cache")])
    os.close(fed(fifo, NAMES * 3, starting))
    starting.logs.wait_for("indexing the taxonomy names")
    held = fed(fifo, NAMES, starting)
    try:
        return starting.stop(number), tmp_path / "cache" / "taxonomy"
    finally:
        os.close(held)


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM])
@pytest.mark.parametrize("interrupt", [interrupted_building, interrupted_indexing])
def test_a_signal_during_start_up_stops_it_with_one_line_and_leaves_the_cache_clean(tmp_path, interrupt, number):
    (status, lines), folder = interrupt(tmp_path, number)
    assert status == 128 + number
    assert lines[-1] == "blast-service: stopped by %s while starting" % signal.Signals(number).name
    assert not [line for line in lines if "Traceback" in line or "Error" in line], lines
    assert entries(folder) == []
