import os

import pytest

import bundles


@pytest.fixture(scope="session")
def fixture_dir(tmp_path_factory):
    d = os.environ.get("LE_PY_FIXTURES")
    if d:
        os.makedirs(d, exist_ok=True)
        return d
    return str(tmp_path_factory.mktemp("bundles"))


@pytest.fixture(scope="session")
def demo(fixture_dir):
    return bundles.demo(fixture_dir)


@pytest.fixture(scope="session")
def stream(fixture_dir):
    return bundles.stream(fixture_dir)


@pytest.fixture(scope="session")
def speech(fixture_dir):
    return bundles.speech(fixture_dir)
