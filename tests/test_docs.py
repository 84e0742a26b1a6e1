"""The README and the guides in docs/ run as written: none of their code can go stale.

Each file's code blocks run in order in a fresh folder: Python blocks share one
namespace per file, sh blocks run each `veltra-explain` command with this
interpreter (and this copy of the package) and must succeed. A block that cannot
run here is preceded by `<!-- not run: why -->`; those are listed below, so that
leaving one more out is a decision. Links between the files must lead somewhere.
"""
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

import veltra_utils.explainability

ROOT = Path(__file__).resolve().parents[1]
FILES = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
PACKAGE_ROOT = str(Path(veltra_utils.explainability.__file__).resolve().parents[2])

NOT_RUN = re.compile(r"^<!--\s*not run:\s*(.+?)\s*-->$")
LINK = re.compile(r"\]\(([^)\s]+)\)")

# file -> why each block left out is not run, in order
LEFT_OUT = {
    "README.md": ["builds the environment the tests themselves run in"],
    "docs/scale.md": [
        "needs a Spark DataFrame, and Spark takes longer to start than the whole test of a guide",
        "Spark takes longer to start than the whole test of a guide",
        "reads from a Spark cluster's storage",
    ],
}


def code_blocks(path):
    """(language, first line number, text, why it is not run or None) of each fenced block."""
    blocks, lines = [], path.read_text(encoding="utf-8").splitlines()
    position, previous = 0, ""
    while position < len(lines):
        line = lines[position]
        if line.startswith("```"):
            end = lines.index("```", position + 1)
            left_out = NOT_RUN.match(previous)
            blocks.append((line[3:].strip(), position + 2, "\n".join(lines[position + 1:end]),
                           left_out.group(1) if left_out else None))
            position, previous = end + 1, ""
            continue
        if line.strip():
            previous = line.strip()
        position += 1
    return blocks


def commands(text):
    """The commands of an sh block: continuation lines joined, comments dropped."""
    for line in text.replace("\\\n", " ").splitlines():
        words = shlex.split(line, comments=True)
        if words:
            yield words


def run_command(words, folder):
    assert words[0] == "veltra-explain", "an sh block may only run veltra-explain: {0}".format(words)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")])))
    done = subprocess.run([sys.executable, "-m", "veltra_utils.explainability"] + words[1:],
                          cwd=folder, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, "{0} exited {1}:\n{2}".format(
        shlex.join(words), done.returncode, done.stderr)


def heading_anchors(path):
    anchors = set()
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith("#"):
            title = line.lstrip("#").strip().lower()
            anchors.add(re.sub(r"[^\w\- ]", "", title).replace(" ", "-"))
    return anchors


@pytest.mark.parametrize("path", FILES, ids=lambda path: str(path.relative_to(ROOT)))
def test_every_code_block_runs_and_every_link_leads_somewhere(path, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "docs_" + path.stem.replace("-", "_")}
    for language, line, text, left_out in code_blocks(path):
        where = "{0}:{1}".format(path.relative_to(ROOT), line)
        if left_out:
            continue
        if language == "python":
            exec(compile(text, where, "exec"), namespace)  # noqa: S102 - the guide's own code
        elif language == "sh":
            for words in commands(text):
                run_command(words, tmp_path)
        else:
            pytest.fail("{0}: a ```{1} block is neither run nor marked as not run".format(
                where, language))

    for target in LINK.findall(path.read_text(encoding="utf-8")):
        if re.match(r"[a-z]+:", target):
            continue
        file_part, _, anchor = target.partition("#")
        linked = (path.parent / file_part).resolve() if file_part else path
        assert linked.exists(), "{0} links to {1}, which does not exist".format(path.name, target)
        if anchor:
            assert anchor in heading_anchors(linked), "{0} links to {1}: no such heading".format(
                path.name, target)


def test_the_blocks_left_out_are_the_known_ones():
    found = {}
    for path in FILES:
        reasons = [left_out for _, _, _, left_out in code_blocks(path) if left_out]
        if reasons:
            found[str(path.relative_to(ROOT))] = reasons
    assert found == LEFT_OUT
