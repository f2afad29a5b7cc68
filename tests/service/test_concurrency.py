"""Twenty clients at once, each submitting its own search and polling for it: every one gets
its own report, none is lost or mixed up."""
import threading
import xml.etree.ElementTree as ElementTree

from blast_client import field, results, submit, wait
from conftest import database_folder
from service_process import service_process

CLIENTS = 20


def test_twenty_clients_get_each_their_own_result(db):
    proteins = db.entries["protein"]
    work = [(proteins[number % len(proteins)], "1e-%02d" % number) for number in range(CLIENTS)]
    outcomes = [None] * CLIENTS
    start = threading.Barrier(CLIENTS, timeout=30)

    def client(number, url):
        entry, expect = work[number]
        try:
            start.wait()
            rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY=entry.accession, EXPECT=expect,
                         HITLIST_SIZE="5")
            state = wait(url, rid, attempts=1200)["Status"]
            code, _, text = results(url, rid)
            outcomes[number] = (rid, state, code, text)
        except Exception as error:
            outcomes[number] = error

    with service_process("--db", database_folder(), "--rtoe", "0", "--workers", "2") as (_, url):
        threads = [threading.Thread(target=client, args=(number, url)) for number in range(CLIENTS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
    assert not any(thread.is_alive() for thread in threads)
    assert not [outcome for outcome in outcomes if isinstance(outcome, Exception)]
    assert len({outcome[0] for outcome in outcomes}) == CLIENTS
    for (entry, expect), (rid, state, code, text) in zip(work, outcomes):
        assert (state, code) == ("READY", 200), rid
        report = ElementTree.fromstring(text.encode())
        assert field(report, "Iteration_query-ID") == entry.seq_id
        assert float(field(report, "Parameters_expect")) == float(expect)
