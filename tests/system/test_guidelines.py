"""The whole check under the service's --guidelines enforce: the toolkit, paced as NCBI's
guidelines ask (scaled as the service scales them) and sending its contact, keeps every rule;
without pacing the same run is refused, so the check above is live."""
from test_offline import offline

SCALE = 0.2
PACED = {"TARVO_BLAST_MIN_INTERVAL": "%g" % (10 * SCALE), "TARVO_BLAST_POLL_INTERVAL": "%g" % (60 * SCALE),
         "TARVO_BLAST_EMAIL": "qblast-check@example.org"}


def enforced_run(tmp_path, environment):
    log = tmp_path / "service.log"
    run = offline("--guidelines", "enforce", "--guideline-scale", "%g" % SCALE,
                  environment=dict(environment, QBLAST_OFFLINE_LOG=str(log)))
    return run, log.read_text()


def test_the_toolkit_keeps_every_guideline(tmp_path):
    run, log = enforced_run(tmp_path, PACED)
    assert run.returncode == 0, (run.stdout, run.stderr, log)
    assert "usage guidelines: enforce, intervals scaled by %g" % SCALE in log
    assert "guideline broken" not in log, log
    assert log.count("submitted") == 3


def test_unpaced_the_toolkit_is_refused(tmp_path):
    run, log = enforced_run(tmp_path, dict(PACED, TARVO_BLAST_MIN_INTERVAL="0"))
    assert run.returncode != 0, run.stdout
    assert 'guideline broken: "at most one request every 10 s from a client"' in log
    assert "429" in run.stdout + run.stderr
