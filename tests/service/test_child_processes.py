"""BLAST+ processes never outlive the service: a service killed outright (SIGKILL) during a long
search takes its BLAST+ process with it; and a process started for a thread that then ends
lives on until its caller is done with it."""
import os
import signal
import subprocess
import threading
import time

from blast_client import submit
from service_process import service_process
from localblast.runs import children

WAIT = 60


def process_state(pid):
    """The state letter of a process ("R", "S", "Z", ...), or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as stream:
            return stream.read().rpartition(")")[2].split()[0]
    except FileNotFoundError:
        return None


def children_of(parent, name):
    """The ids of the processes called `name` whose parent is `parent`."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as stream:
                    head, _, tail = stream.read().rpartition(")")
            except (FileNotFoundError, ProcessLookupError):
                continue
            if head.partition("(")[2] == name and int(tail.split()[1]) == parent:
                found.append(int(entry))
    return found


def waited(condition, what):
    """The first true value of `condition()`; AssertionError naming `what` after WAIT seconds."""
    end = time.monotonic() + WAIT
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("%s within %d s" % (what, WAIT))


def letters(count):
    """`count` random nucleotide letters, made quickly."""
    return os.urandom(count).translate(bytes(b"ACGT"[byte % 4] for byte in range(256))).decode()


def test_a_service_killed_during_a_search_takes_its_blast_process_with_it(tmp_path):
    # tblastx translates both sides in six frames: on 20 megabases and a query of a megabase it
    # runs for many minutes, far longer than the test waits for it to be gone.
    genome = tmp_path / "genome.fa"
    genome.write_text("".join(">chromosome_%d\n%s\n" % (number, letters(2000000)) for number in range(10)))
    with service_process("--fasta", "genome=%s" % genome, "--cache", str(tmp_path / "cache"), "--rtoe", "0") as (
            service, url):
        submit(url, PROGRAM="tblastx", DATABASE="genome", QUERY=">long\n" + letters(1000000))
        blast = waited(lambda: children_of(service.pid, "tblastx"), "no tblastx process started")[0]
        try:
            service.send_signal(signal.SIGKILL)
            service.wait(WAIT)
            # Reparented to a process that may never reap it, a dead child stays a zombie.
            waited(lambda: process_state(blast) in (None, "Z"), "the search's tblastx still runs")
        finally:
            if process_state(blast) not in (None, "Z"):
                os.kill(blast, signal.SIGKILL)


def test_a_child_lives_on_when_the_thread_that_asked_for_it_ends():
    # The kernel's parent-death signal follows the thread that started a child, not the process.
    started = []
    asker = threading.Thread(target=lambda: started.append(children.start(
        ["sh", "-c", "read line; echo alive"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)))
    asker.start()
    asker.join()
    # Once the thread is gone from the kernel, any signal its end would send has been sent.
    waited(lambda: not os.path.exists("/proc/self/task/%d" % asker.native_id), "the asking thread did not end")
    output, _ = started[0].communicate(b"go\n", timeout=WAIT)
    assert output == b"alive\n"


def test_a_child_whose_service_died_before_it_asked_for_the_signal_does_not_run():
    # Nothing would signal such a child: it must end instead of running its program alone.
    command, options = children._guarded(["echo", "ran"], {})
    orphaned = [str(os.getppid()) if argument == str(os.getpid()) else argument for argument in command]
    assert orphaned != command, command
    finished = subprocess.run(orphaned, stdout=subprocess.PIPE, timeout=WAIT, **options)
    assert (finished.returncode, finished.stdout) == (1, b"")
    assert subprocess.run(command, stdout=subprocess.PIPE, timeout=WAIT, **options).stdout == b"ran\n"


def test_a_program_that_is_not_there_cannot_be_started():
    try:
        children.start(["no-such-blast-program"], stdout=subprocess.DEVNULL)
    except FileNotFoundError as error:
        assert "no-such-blast-program" in str(error)
    else:
        raise AssertionError("a missing program was started")
