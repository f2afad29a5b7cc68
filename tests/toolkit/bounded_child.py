"""Hostile cases, each read in a child of its own held to limits of memory and processor time,
so that a case that would exhaust either ends its child with a clear status, not the suite."""
import os
import resource
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PROCESSOR_SECONDS = 20


def hold(address_space, processor_seconds=PROCESSOR_SECONDS):
    """In the child: the limits its case runs under."""
    resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
    resource.setrlimit(resource.RLIMIT_CPU, (processor_seconds, processor_seconds))


def check_each_case(test, module, cases, environment=None):
    """Runs `module.run_case(name)` in a child for each case, in name order: each child must end
    with status 0 and print a line that the case's pattern (its second item) matches at its
    start. Returns what each child printed, by name."""
    environment = dict(os.environ if environment is None else environment,
                       PYTHONPATH=os.pathsep.join(sys.path))
    printed = {}
    for name in sorted(cases):
        process = subprocess.Popen(
            [sys.executable, "-c", "import sys; sys.path.insert(0, %r); import %s; %s.run_case(%r)"
             % (HERE, module, module, name)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)
        out, err = process.communicate()
        test.assertEqual(0, process.returncode, "%s: the child ended with status %d "
                         "(a negative one is a signal: 24 processor time, 11 a crash)\n%s"
                         % (name, process.returncode, err))
        test.assertRegexpMatches(out.strip(), "^" + cases[name][1], name)
        printed[name] = out
    return printed
