import pytest

import tavrik
from small_store import small_store


@pytest.fixture
def store():
    return tavrik.VectorStorage()


@pytest.fixture
def filled():
    return small_store()
