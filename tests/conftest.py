import contextlib
import os

import pytest
from hypothesis import settings

# Fewer under emulation (KIV_TEST_EXAMPLES), where the native runs have made the full count.
settings.register_profile("kiv", max_examples=int(os.environ.get("KIV_TEST_EXAMPLES", "200")), deadline=None)
settings.load_profile("kiv")


@pytest.fixture
def expect_panic():
    """Context manager factory: the block must end in kiv's internal-failure exception."""

    @contextlib.contextmanager
    def check(message):
        with pytest.raises(BaseException) as info:
            yield
        assert type(info.value).__name__ == "PanicException"
        assert type(info.value).__module__ == "pyo3_runtime"
        assert info.value.args == (message,)

    return check
