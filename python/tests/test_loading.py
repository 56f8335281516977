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


def test_the_variable_comes_first(tmp_path):
    assert import_in(tmp_path, le_core.library_path, beside=True) == (0, le_core.library_path)


def test_beside_the_package_when_the_variable_is_unset(tmp_path):
    assert import_in(tmp_path, None, beside=True) == (0, str(tmp_path / "le_core" / "lible_core.so"))


def test_a_variable_naming_nothing_is_an_error_not_a_fallback(tmp_path):
    status, out = import_in(tmp_path, str(tmp_path / "gone.so"), beside=True)
    assert status != 0 and "ImportError" in out and "gone.so" in out and "LE_CORE_LIBRARY" in out


@pytest.mark.skipif(subprocess.run(["ldconfig", "-p"], capture_output=True, text=True).stdout.count("lible_core.so"),
                    reason="a lible_core.so is installed on the system path")
def test_the_import_error_names_all_three_places(tmp_path):
    status, out = import_in(tmp_path, None, beside=False)
    assert status != 0 and "ImportError" in out
    for place in ("LE_CORE_LIBRARY: not set", "beside the package: no lible_core.so in " + str(tmp_path / "le_core"),
                  "lible_core.so: cannot open shared object file"):
        assert place in out, out
