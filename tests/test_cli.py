"""The `molbrook stats` command."""

import os
import subprocess
import sys

from molbrook.cli import main


def test_python_m_molbrook_runs_the_command_on_the_bundled_sample(capsys):
    done = subprocess.run([sys.executable, "-m", "molbrook", "stats"], capture_output=True, text=True,
                          env=os.environ, check=True)
    assert main(["stats"]) == 0
    assert done.stdout == capsys.readouterr().out and done.stdout.startswith("bundled sample.sdf: 5 blocks")


def test_stats_counts_blocks_not_records(tmp_path, capsys):
    path = tmp_path / "latin1.sdf"
    path.write_bytes(b"a\nM  END\n> <caf\xe9>\n1\n\n> <caf\xe9>\n2\n\n$$$$\nb\n$$$$\n")
    assert main(["stats", str(path)]) == 0
    assert capsys.readouterr().out.splitlines() == [
        f"{path}: 2 blocks (other 2)",
        "record   blocks",
        "caf\\xe9       1",
    ]
    assert main(["stats", str(tmp_path / "missing.sdf")]) == 1
    assert "No such file or directory" in capsys.readouterr().err
