"""The README's Python example, run as written where `make demo` would have left
the demo identity."""
import os
import re
import subprocess
import sys

import le_core

README = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "README.md")


def test_the_readme_example_runs_as_written(demo, tmp_path):
    text = open(README, encoding="utf-8").read()
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    assert len(blocks) == 1
    code = blocks[0]
    assert len(code.strip().splitlines()) == 5
    (tmp_path / "build" / "demo").mkdir(parents=True)
    os.symlink(demo, tmp_path / "build" / "demo" / "demo.imx")
    env = dict(os.environ, LE_CORE_LIBRARY=le_core.library_path,
               PYTHONPATH=os.path.dirname(os.path.dirname(le_core.__file__)))
    r = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "40 (720, 1280, 4) float32\n"
