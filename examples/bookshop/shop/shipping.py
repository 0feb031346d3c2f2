"""A worker thread packing accepted orders into parcels."""

from __future__ import annotations

import queue
import threading
from dataclasses import dataclass

from shop.orders import Outcome

GRAMS_PER_BOOK = 450
BOX_GRAMS = 120


@dataclass(frozen=True)
class Parcel:
    order_id: str
    books: int
    grams: int
    label: str


def pack(outcome: Outcome) -> Parcel:
    assert outcome.quote is not None
    books = sum(line.quantity for line in outcome.quote.lines)
    grams = BOX_GRAMS + GRAMS_PER_BOOK * books
    size = "small" if grams < 1000 else "medium" if grams < 2500 else "large"
    return Parcel(outcome.order_id, books, grams, f"{outcome.order_id}/{size}")


class ShippingWorker(threading.Thread):
    _DONE = object()

    def __init__(self):
        super().__init__(name="shipping")
        self._queue: queue.Queue = queue.Queue()
        self.parcels: list[Parcel] = []

    def submit(self, outcome: Outcome) -> None:
        self._queue.put(outcome)

    def close(self) -> None:
        self._queue.put(self._DONE)

    def run(self) -> None:
        while True:
            item = self._queue.get()
            if item is self._DONE:
                return
            self.parcels.append(pack(item))
