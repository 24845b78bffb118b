"""Scalar arguments with conversions of their own, shared by the tests."""


class Raises:
    """Refuses both conversions with the given exception type."""

    def __init__(self, error=ZeroDivisionError):
        self.error = error

    def __float__(self):
        raise self.error("no float")

    def __index__(self):
        raise self.error("no index")


class Index:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value
