"""Formatted reports kept with their search: made once per shape, a bounded number of them, none
left behind by a failure or by a search dropped while its report was being made."""
import os

import pytest

from localblast.errors import BlastFailed
from localblast.reports.formats import FORMATS, Shape
from localblast.reports.formatting import WHOLE_XML
from localblast.store.jobs import KEPT_REPORTS, JobStore
from test_lifetime import Blast, finished, quiet


@pytest.fixture
def job():
    """(store, job) of a finished search."""
    store = JobStore(Blast(), 60, 10, 1, log=quiet)
    yield store, finished(store, store.submit("blastp", "search"))
    store.close()


def writer(made, text="report"):
    def make(path):
        made.append(path)
        with open(path, "w") as stream:
            stream.write(text)
    return make


def read(stream):
    with stream:
        return stream.read()


def test_a_shape_is_made_once_and_the_least_recently_asked_for_goes_beyond_the_bound(job):
    store, job = job
    made = []
    assert read(store.open_report(job, "first", writer(made, "one"))) == b"one"
    assert read(store.open_report(job, "first", writer(made, "again"))) == b"one" and len(made) == 1
    for number in range(KEPT_REPORTS):
        store.open_report(job, number, writer(made)).close()
        store.open_report(job, "first", writer(made)).close()  # asked for again: kept
    assert len(made) == KEPT_REPORTS + 1 and len(job.formatted) == KEPT_REPORTS
    assert not os.path.exists(made[1]) and all(os.path.exists(path) for path in job.formatted.values())


def test_a_report_that_cannot_be_made_leaves_nothing_and_is_tried_again(job):
    store, job = job

    def failing(path):
        open(path, "w").close()
        raise BlastFailed("blast_formatter ended with status 1")
    with pytest.raises(BlastFailed):
        store.open_report(job, "shape", failing)
    assert job.formatted == {} and sorted(os.listdir(job.folder)) == [WHOLE_XML]
    assert read(store.open_report(job, "shape", writer([]))) == b"report"


def test_a_search_dropped_while_its_report_is_made_has_none(job):
    store, job = job

    def dropping(path):
        store.delete(job.rid)
        raise FileNotFoundError(path)
    assert store.open_report(job, "shape", dropping) is None
    assert store.open_report(job, "shape", writer([])) is None and not os.path.exists(job.folder)


def test_reports_of_one_format_name_made_apart_are_kept_apart(job):
    # A format's name alone does not tell its reports apart: Text in two layouts, say.
    store, job = job
    text = next(known for known in FORMATS.values() if known.name == "Text")
    pairwise = Shape(text, None, 5, 5, False)
    other = pairwise._replace(format=text._replace(outfmt=("-outfmt", "3")))
    assert read(store.open_report(job, pairwise, writer([], "pairwise"))) == b"pairwise"
    assert read(store.open_report(job, other, writer([], "flat"))) == b"flat"
    assert read(store.open_report(job, pairwise, writer([], "made again"))) == b"pairwise"
