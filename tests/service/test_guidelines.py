"""NCBI's usage guidelines, kept in view: for each rule a client that breaks it and one that keeps
it (by a little less than the interval, inside the allowance for jitter), under warn (a log line
naming the rule, the request served) and under enforce (HTTP 429 naming the rule). Requests
arrive on a clock the test sets, so that nothing depends on the machine's speed."""
import pytest

from blast_client import error_text, info, request
from conftest import Clock, running_service
from localblast.api.faults import Faults
from localblast.api.guidelines import CLIENTS_KEPT, POLL_INTERVAL, REQUEST_INTERVAL, Guidelines
from test_lifetime import finished

CONTACT = dict(tool="guideline-test", email="someone@example.org")
SEARCH = dict(PROGRAM="blastp", DATABASE="nr", QUERY="9506405")


def put(**fields):
    return ("put", dict(dict(SEARCH, **CONTACT), **fields))


def status(search=0, **fields):
    return ("status", search, fields)


def results(search=0, **fields):
    return ("results", search, fields)


INTERVAL = '"at most one request every 10 s from a client"'
POLLS = '"at most one status request a minute for one RID"'
RTOE = '"no status request before RTOE"'
SEND = '"send tool and email with each submission"'

# name: (scale, rtoe, search time, [(seconds since the start, request)], the step that breaks a
# rule (or None), the rule and what else its message must name)
CASES = {
    "a request too soon": (1, 0, 0, [(0, put()), (9.4, status())], 1, [INTERVAL, "'guideline-test'", "9.4 s"]),
    "a request just in time": (1, 0, 0, [(0, put()), (9.6, status())], None, []),
    "scaled: too soon": (0.1, 0, 0, [(0, put()), (0.94, status())], 1, [INTERVAL, "(scaled: 1 s)"]),
    "scaled: in time": (0.1, 0, 0, [(0, put()), (0.96, status())], None, []),
    # Scaled far down, the allowance is 50 ms at least.
    "scaled far down: too soon": (0.02, 0, 0, [(0, put()), (0.14, status())], 1, [INTERVAL, "0.2 s"]),
    "scaled far down: in time": (0.02, 0, 0, [(0, put()), (0.16, status())], None, []),
    "clients of their own": (1, 0, 0, [(0, put()), (1, put(tool="other"))], None, []),
    "a poll is its submitter's": (1, 0, 0, [(0, put()), (1, put(tool="other")), (5, status(0))], 2,
                                  [INTERVAL, "'guideline-test'"]),
    "a deletion too soon is its submitter's": (1, 0, 0, [(0, put()), (3, ("delete", 0))], 1,
                                               [INTERVAL, "'guideline-test'"]),
    "everyone without contact": (1, 0, 0, [(0, status()), (9, ("displayrids",))], 1,
                                 [INTERVAL, "neither tool nor email"]),
    "a poll too soon": (1, 0, 0, [(0, put()), (10, status()), (66, status())], 2, [POLLS, "56 s"]),
    "a poll a minute later": (1, 0, 0, [(0, put()), (10, status()), (67, status())], None, []),
    "scaled: a poll too soon": (0.1, 0, 0, [(0, put()), (1, status()), (6.6, status())], 2, [POLLS, "(scaled: 6 s)"]),
    "scaled: a poll in time": (0.1, 0, 0, [(0, put()), (1, status()), (6.8, status())], None, []),
    "a waiting results request is a poll": (1, 0, 600, [(0, put()), (10, results()), (30, results())], 2,
                                            [POLLS]),
    "fetching a ready report is not a poll": (1, 0, 0, [(0, put()), (10, status()), (20, results()),
                                                        (30, results(FORMAT_TYPE="Text"))], None, []),
    "a poll before RTOE": (1, 30, 0, [(0, put()), (28, status())], 1, [RTOE]),
    "a poll at RTOE": (1, 30, 0, [(0, put()), (29, status())], None, []),
    "a submission without email": (1, 0, 0, [(0, put(email=""))], 0, [SEND, "no email"]),
    "a submission without either": (1, 0, 0, [(0, put(email="", tool=""))], 0, [SEND, "no tool and no email"]),
}


def run(db, mode, scale, rtoe, search_time, steps):
    """The (HTTP status, page) of each step, and the service's log."""
    clock = Clock()
    start, answers, rids = clock.now, [], []
    faults = Faults(job_time=[("blastp", search_time)]) if search_time else None
    guidelines = Guidelines(mode, scale)
    with running_service(db, faults, clock=clock, rtoe=rtoe, guidelines=guidelines) as (url, store, logs):
        for at, step in steps:
            clock.now = start + at
            kind, rest = step[0], step[1:]
            if kind == "put":
                code, _, page = request(url, dict(CMD="Put", **rest[0]), post=True)
                if "RID" in info(page):
                    rids.append(info(page)["RID"])
                    finished(store, rids[-1])
            elif kind == "displayrids":
                code, _, page = request(url, dict(CMD="DisplayRIDs"))
            elif kind == "delete":
                code, _, page = request(url, dict(CMD="Delete", RID=rids[rest[0]]))
            else:
                search, fields = rest
                asked = dict(FORMAT_OBJECT="SearchInfo") if kind == "status" else dict(FORMAT_TYPE="XML")
                code, _, page = request(url, dict(dict(CMD="Get", RID=rids[search] if rids else "NONE", **asked),
                                                  **fields))
            answers.append((code, page))
    return answers, [line for line in logs if line.startswith("guideline broken")]


@pytest.mark.parametrize("mode", ["warn", "enforce"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_each_rule_broken_is_named_and_kept_is_served(db, mode, case):
    scale, rtoe, search_time, steps, breaking, words = CASES[case]
    answers, broken = run(db, mode, scale, rtoe, search_time, steps)
    codes = [code for code, _ in answers]
    if breaking is None:
        assert broken == [] and codes == [200] * len(steps)
        return
    assert len(broken) == 1, broken
    for word in words:
        assert word in broken[0]
    expected = [200] * len(steps)
    if mode == "enforce":
        expected[breaking] = 429
        assert all(word in error_text(answers[breaking][1]) for word in words)
    assert codes == expected


def test_without_a_mode_nothing_is_judged(db):
    answers, broken = run(db, None, 1, 30, 0, [(0, put(tool="", email="")), (1, status()), (2, status())])
    assert broken == [] and [code for code, _ in answers] == [200] * 3


def test_clients_long_gone_are_forgotten_while_a_flood_of_names_is_bounded():
    guidelines = Guidelines("warn", 1)
    for number in range(3000):
        assert guidelines.request(("tool %d" % number, ""), 100.0 * number) == []
    assert len(guidelines._last_request) <= 1001
    assert guidelines.request(("tool 2999", ""), 100.0 * 2999 + 1)


def test_a_flood_of_long_names_at_one_moment_is_bounded():
    guidelines = Guidelines("enforce", 1)
    for number in range(3000):
        guidelines.request(Guidelines.client("tool %d " % number + "x" * 100000, "a@b"), 5.0)
    assert len(guidelines._last_request) <= 1000
    assert max(len(tool) + len(email) for tool, email in guidelines._last_request) <= 400
    # The newest are kept, and still judged.
    assert guidelines.request(Guidelines.client("tool 2999 " + "x" * 100000, "a@b"), 6.0)


@pytest.mark.parametrize("rule", ["request", "poll"])
def test_a_request_judged_out_of_order_never_moves_the_last_time_back(rule):
    # Requests are judged by when their heads arrived, so one that arrived first may be judged last.
    guidelines = Guidelines("warn", 1)
    client = ("tool", "someone@example.org")
    if rule == "poll":
        watch, interval = guidelines.watch(client, 0.0, 0), POLL_INTERVAL

        def ask(now):
            return guidelines.poll("RID", watch, now)
    else:
        interval = REQUEST_INTERVAL

        def ask(now):
            return guidelines.request(client, now)
    ask(1000.0)
    ask(1000.0 - interval)
    # An interval after the one judged last, but too soon after the latest.
    assert ask(1000.0 + 0.9 * interval)


def test_a_client_that_keeps_asking_keeps_its_place_among_a_flood_of_names():
    guidelines = Guidelines("warn", 1)
    regular = ("regular", "someone@example.org")
    flood = CLIENTS_KEPT * 3 // 5

    def names(first):
        for number in range(first, first + flood):
            assert guidelines.request(("flood %d" % number, ""), 0.0) == []
    assert guidelines.request(regular, 0.0) == []
    names(0)
    assert guidelines.request(regular, 20.0) == []
    names(flood)
    # More names than are kept since it first asked, fewer since it last asked: it is still known.
    assert guidelines.request(regular, 21.0)
