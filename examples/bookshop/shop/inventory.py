"""Books in stock, loaded from a CSV file."""

from __future__ import annotations

import csv
import threading
from dataclasses import dataclass
from decimal import Decimal
from pathlib import Path


class InventoryError(Exception):
    pass


class UnknownBook(InventoryError):
    def __init__(self, isbn: str):
        super().__init__(f"no book with ISBN {isbn}")
        self.isbn = isbn


class OutOfStock(InventoryError):
    def __init__(self, book: Book, wanted: int):
        super().__init__(f"only {book.stock} left of {book.title!r}, {wanted} wanted")
        self.book = book
        self.wanted = wanted


@dataclass
class Book:
    isbn: str
    title: str
    author: str
    genre: str
    price: Decimal
    stock: int

    @classmethod
    def from_row(cls, row: dict[str, str]) -> Book:
        return cls(
            isbn=row["isbn"].strip(),
            title=row["title"].strip(),
            author=row["author"].strip(),
            genre=row["genre"].strip(),
            price=Decimal(row["price"]),
            stock=int(row["stock"]),
        )


class Inventory:
    def __init__(self, books: list[Book]):
        self._books = {book.isbn: book for book in books}
        # The shipping worker releases stock of undeliverable parcels.
        self._lock = threading.Lock()

    @classmethod
    def load_csv(cls, path: Path) -> Inventory:
        with open(path, newline="", encoding="utf-8") as file:
            return cls([Book.from_row(row) for row in csv.DictReader(file)])

    def __len__(self) -> int:
        return len(self._books)

    def get(self, isbn: str) -> Book:
        try:
            return self._books[isbn]
        except KeyError:
            raise UnknownBook(isbn) from None

    def reserve(self, isbn: str, quantity: int) -> Book:
        with self._lock:
            book = self.get(isbn)
            if book.stock < quantity:
                raise OutOfStock(book, quantity)
            book.stock -= quantity
            return book

    def release(self, isbn: str, quantity: int) -> None:
        with self._lock:
            self.get(isbn).stock += quantity

    def low_stock(self, threshold: int = 2) -> list[Book]:
        return sorted((b for b in self._books.values() if b.stock <= threshold), key=lambda b: b.stock)
