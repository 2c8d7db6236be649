"""Sequences that misreport their length, shared by the conversion tests."""


class LyingLength:
    """A sequence whose __len__ claims something other than what iteration
    yields (or raises the exception it was given)."""

    def __init__(self, length, items=(1.0, 2.0, 3.0)):
        self.length = length
        self.items = items

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        if i >= len(self.items):
            raise IndexError(i)
        return self.items[i]
