#!/usr/bin/python3
"""readme_blocks.py RUNNER [README]: the README's examples, taken from README.md itself, run
against the runner: the Python session (the block after "<!-- python-session -->", run as a
doctest: every reply as shown) and the control-socket one-liner (the block after
"<!-- control-socket -->", run in the folder that holds the state folder "state"). The
control socket's help and the README name the same commands. Runs itself in a network
namespace (tests/net/in-netns.sh); exit status 77 when none can be made.
"""
import doctest
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import runner_session  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
check = runner_session.check


def block(readme, marker):
    """The first fenced block after the marker line."""
    found = re.search(r"^%s\n```\n(.*?)^```$" % re.escape(marker), readme, re.M | re.S)
    if found is None:
        raise runner_session.Failure("README.md has no block after " + marker)
    return found.group(1)


def python_session(readme):
    test = doctest.DocTestParser().get_doctest(block(readme, "<!-- python-session -->"), {}, "README session",
                                               "README.md", 0)
    check(len(test.examples) >= 5, "the session has its examples (%d)" % len(test.examples))
    runner = doctest.DocTestRunner(optionflags=doctest.REPORT_NDIFF)
    result = runner.run(test)
    check(result.failed == 0, "the README's Python session gives every reply it shows")


def control_socket(readme, folder):
    line = block(readme, "<!-- control-socket -->").strip()
    run = subprocess.run(["bash", "-c", line], cwd=folder, capture_output=True, timeout=30)
    answer = run.stdout.decode()
    check(run.returncode == 0 and answer.startswith("OK power=on ") and answer.endswith(" faults=none\n")
          and answer.count("\n") == 1, "the control-socket one-liner prints the whole state line (%r)" % answer)
    commands = [c.split()[0] for c in runner_session.control(os.path.join(folder, "state"), "help")
                [len("OK commands: "):].split(" | ")]
    text = readme[readme.index("The control socket takes"):readme.index("<!-- control-socket -->")]
    for command in commands:
        check("`%s" % command in text, "the README describes the control command %s" % command)
    named = set(re.findall(r"`([a-z]+)[ `]", text))
    check(named <= set(commands), "the README names no command help lacks (%s)" % sorted(named - set(commands)))


def main():
    runner_session.in_namespace_or_reexec()
    program = sys.argv[1] if len(sys.argv) > 1 else runner_session.default_runner()
    path = sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "README.md")
    with open(path) as f:
        readme = f.read()
    runner = runner_session.Runner(program)
    try:
        runner_session.open_session(runner_session.manager()).close()
        python_session(readme)
        control_socket(readme, runner.state)
    except runner_session.Failure as failure:
        print("FAIL: " + str(failure))
        print(runner.tail())
        return 1
    finally:
        runner.stop()
    print("readme_blocks: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
