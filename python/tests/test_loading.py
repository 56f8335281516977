"""Where the package finds lible_core.so: LE_CORE_LIBRARY, beside the package,
the system's library path; and the ImportError when none holds it."""
import os
import shutil
import subprocess
import sys

import pytest

import le_core

PKG = os.path.dirname(le_core.__file__)


def import_in(tmp_path, env_library, beside):
    """Imports a copy of the package in a fresh interpreter; (status, output)."""
    dst = tmp_path / "le_core"
    shutil.copytree(PKG, dst, ignore=shutil.ignore_patterns("__pycache__", "lible_core.so*"))
    if beside:
        shutil.copy(le_core.library_path, dst / "lible_core.so")
    env = {k: v for k, v in os.environ.items() if k not in ("LE_CORE_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH")}
    if env_library is not None:
        env["LE_CORE_LIBRARY"] = env_library
    r = subprocess.run([sys.executable, "-c", "import le_core; print(le_core.library_path)"], cwd=tmp_path,
                       env=env, capture_output=True, text=True)
    return r.returncode, (r.stdout + r.stderr).strip()


@pytest.mark.parametrize("env_library, beside, found", [
    ("built", True, "built"),                 # the variable comes first
    (None, True, "beside"),                   # then a library beside the package
    ("gone.so", True, None),                  # a variable naming nothing is an error, not a fallback
])
def test_where_the_library_comes_from(tmp_path, env_library, beside, found):
    named = {"built": le_core.library_path, "gone.so": str(tmp_path / "gone.so"), None: None}
    status, out = import_in(tmp_path, named[env_library], beside)
    if found == "built":
        assert (status, out) == (0, le_core.library_path)
    elif found == "beside":
        assert (status, out) == (0, str(tmp_path / "le_core" / "lible_core.so"))
    else:
        assert status != 0 and "ImportError" in out and "gone.so" in out and "LE_CORE_LIBRARY" in out


@pytest.mark.skipif(subprocess.run(["ldconfig", "-p"], capture_output=True, text=True).stdout.count("lible_core.so"),
                    reason="a lible_core.so is installed on the system path")
def test_the_import_error_names_all_three_places(tmp_path):
    status, out = import_in(tmp_path, None, beside=False)
    assert status != 0 and "ImportError" in out
    for place in ("LE_CORE_LIBRARY: not set", "beside the package: no lible_core.so in " + str(tmp_path / "le_core"),
                  "lible_core.so: cannot open shared object file"):
        assert place in out, out
