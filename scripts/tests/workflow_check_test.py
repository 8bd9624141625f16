#!/usr/bin/env python3
"""scripts/check-workflows: the repository's workflows pass; doctored copies of the hosted
Windows workflow are refused, each for its fault (actionlint or the workflow schema); the
runner label windows-11-arm is known only through .github/actionlint.yaml."""

import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
CHECK = REPO / "scripts" / "check-workflows"
WORKFLOW = REPO / ".github" / "workflows" / "windows-hosted.yml"

# (what, text replaced, replacement, what the finding says)
DOCTORED = [
    ("a matrix key that does not exist", "runs-on: ${{ matrix.runner }}", "runs-on: ${{ matrix.runnr }}",
     'property "runnr" is not defined'),
    ("a step id that does not exist", "steps.pack.outcome", "steps.pak.outcome", 'property "pak" is not defined'),
    ("a misspelt job key", "    timeout-minutes: 60\n", "    timeout-minute: 60\n", "schema"),
    ("an unknown runner label", "runner: windows-11-arm", "runner: windows-11-arn", 'label "windows-11-arn" is unknown'),
    ("a job that needs a job that does not exist", "needs: build", "needs: biuld", "biuld"),
    ("an input the action does not have", "          fetch-depth: 0", "          fetch-dept: 0", 'input "fetch-dept" is not defined'),
    ("broken YAML", "jobs:\n", "jobs:\n  - [\n", "could not parse as YAML"),
]


def check(*files):
    return subprocess.run([str(CHECK), *map(str, files)], capture_output=True, text=True, timeout=300)


class WorkflowCheck(unittest.TestCase):
    def setUp(self):
        self.repo = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.repo)
        (self.repo / ".git").mkdir()
        (self.repo / ".github" / "workflows").mkdir(parents=True)

    def with_config(self):
        shutil.copy(REPO / ".github" / "actionlint.yaml", self.repo / ".github" / "actionlint.yaml")

    def test_the_repository_workflows_pass(self):
        run = check()
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertRegex(run.stdout, r"workflows: [1-9]\d* passed, 0 failed")

    def test_doctored_workflows_are_refused(self):
        self.with_config()
        text = WORKFLOW.read_text()
        copies = []
        for n, (what, old, new, _) in enumerate(DOCTORED):
            self.assertIn(old, text, what)
            copy = self.repo / ".github" / "workflows" / f"doctored{n}.yml"
            copy.write_text(text.replace(old, new, 1))
            copies.append(copy)
        run = check(*copies)  # one run: the linter's start-up is most of its time
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn(f"workflows: 0 passed, {len(DOCTORED)} failed", run.stdout)
        for copy, (what, _, _, finding) in zip(copies, DOCTORED):
            with self.subTest(what):
                findings = [line for line in run.stdout.splitlines() if line.startswith(f"{copy}:")]
                self.assertTrue(any(finding in line for line in findings), f"{what}: {findings}")

    def test_the_arm_label_comes_from_the_configuration(self):
        copy = self.repo / ".github" / "workflows" / "w.yml"
        shutil.copy(WORKFLOW, copy)
        run = check(copy)
        self.assertEqual(run.returncode, 1, run.stdout)
        self.assertIn('label "windows-11-arm" is unknown', run.stdout)
        self.with_config()
        run = check(copy)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)


if __name__ == "__main__":
    unittest.main()
