"""Objects whose repr misbehaves, shared by the encoder's tests."""


class Repr:
    """Its repr returns ``result``, or raises it when it is an exception."""

    def __init__(self, result):
        self.result = result

    def __repr__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result
