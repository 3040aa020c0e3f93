"""The installed distribution ships its licence text and declares it."""

from importlib import metadata

import pytest


def test_installed_distribution_carries_the_licence():
    try:
        distribution = metadata.distribution("grammar-engine")
    except metadata.PackageNotFoundError:
        pytest.skip("grammar-engine is not installed (a development build)")
    assert distribution.metadata["License-Expression"] == "MIT"
    shipped = [path for path in distribution.files or () if path.name == "LICENSE"]
    assert len(shipped) == 1
    assert "MIT License" in shipped[0].read_text(encoding="utf-8")
