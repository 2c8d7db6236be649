import pytest

import tavrik


@pytest.fixture
def store():
    return tavrik.VectorStorage()
