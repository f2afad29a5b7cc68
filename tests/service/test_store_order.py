"""The order in which the store lets finished searches go, which it keeps as they finish instead
of walking every search held: those whose keep time is over, and for room the one done longest
ago, fetched ones first. Checked against a plain model of the rules through many searches
fetched, deleted, and made to take longer so that they become READY out of turn."""
import random

import pytest

from conftest import Clock
from localblast.errors import Refused
from localblast.store import ageing
from localblast.store.jobs import READY, JobStore
from test_lifetime import Blast, finished, quiet

KEEP = 150
MAX_JOBS = 30
SUBMISSIONS = 300


class Model:
    """What the store should hold: {rid: [done at, fetched]}, oldest first."""

    def __init__(self):
        self.held = {}

    def expire(self, now):
        for rid, (done_at, _) in list(self.held.items()):
            if now - done_at > KEEP:
                del self.held[rid]

    def room(self, now):
        """False if the store is full of searches that are not done; else drops what must go."""
        if len(self.held) < MAX_JOBS:
            return True
        done = [(not fetched, done_at, rid) for rid, (done_at, fetched) in self.held.items() if done_at <= now]
        if not done:
            return False
        del self.held[min(done)[2]]
        return True


@pytest.mark.parametrize("slack", [ageing.SLACK, 0], ids=["as-is", "order-remade-often"])
@pytest.mark.parametrize("seed", [1, 2])
def test_searches_expire_and_make_room_in_order(monkeypatch, seed, slack):
    monkeypatch.setattr(ageing, "SLACK", slack)
    chance, clock, model = random.Random(seed), Clock(), Model()
    store = JobStore(Blast(), KEEP, MAX_JOBS, 1, clock=clock, log=quiet)
    try:
        for number in range(SUBMISSIONS):
            # Each a distinct time to be done at: no ties for the order to break.
            duration = chance.choice([0, 0, 5, 30, 400, 400]) + number / 1000
            model.expire(clock.now)
            if model.room(clock.now):
                rid = store.submit("blastp", number, duration=duration)
                job = finished(store, rid)
                model.held[rid] = [job.done_at(), False]
                assert job.done_at() == clock.now + duration
            else:
                with pytest.raises(Refused):
                    store.submit("blastp", number, duration=duration)
            ready = [rid for rid in model.held if store.lookup(rid)[0] == READY]
            if ready and chance.random() < 0.5:
                rid = chance.choice(ready)
                store.fetched(store.lookup(rid)[1])
                model.held[rid][1] = True
            if model.held and chance.random() < 0.3:
                rid = chance.choice(list(model.held))
                assert store.delete(rid)
                del model.held[rid]
            clock.advance(chance.choice([0.5, 1, 3, 10]))
            model.expire(clock.now)
            assert [rid for rid, _ in store.held()] == list(model.held), number
    finally:
        store.close()
