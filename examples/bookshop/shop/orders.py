"""Turning raw orders into reservations and quotes."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from decimal import Decimal

from shop import pricing
from shop.inventory import Inventory, InventoryError

EMAIL = re.compile(r"^[^@\s]+@[^@\s]+\.[a-z]{2,}$")


class ValidationError(ValueError):
    pass


@dataclass(frozen=True)
class OrderLine:
    isbn: str
    quantity: int


@dataclass(frozen=True)
class Order:
    id: str
    customer: str
    country: str
    lines: tuple[OrderLine, ...]
    coupon: str | None = None


@dataclass
class Outcome:
    order_id: str
    accepted: bool
    quote: pricing.Quote | None = None
    reason: str = ""
    notes: list[str] = field(default_factory=list)


def parse_order(raw: dict) -> Order:
    try:
        order_id = str(raw["id"])
        customer = str(raw["customer"])
        lines = tuple(OrderLine(str(line["isbn"]), int(line["quantity"])) for line in raw["lines"])
    except (KeyError, TypeError, ValueError) as error:
        raise ValidationError(f"malformed order: {error}") from None
    if not EMAIL.match(customer):
        raise ValidationError(f"invalid customer e-mail {customer!r}")
    if not lines:
        raise ValidationError("an order needs at least one line")
    for line in lines:
        if line.quantity <= 0:
            raise ValidationError(f"quantity of {line.isbn} must be positive, got {line.quantity}")
    return Order(order_id, customer, str(raw.get("country", "US")), lines, raw.get("coupon"))


class OrderDesk:
    def __init__(self, inventory: Inventory):
        self.inventory = inventory

    def _reserve(self, order: Order) -> list[pricing.PricedLine]:
        reserved: list[pricing.PricedLine] = []
        try:
            for line in order.lines:
                book = self.inventory.reserve(line.isbn, line.quantity)
                reserved.append(pricing.PricedLine(book.isbn, book.title, book.genre, line.quantity, book.price))
        except InventoryError:
            # All or nothing: give back what this order already took.
            for done in reserved:
                self.inventory.release(done.isbn, done.quantity)
            raise
        return reserved

    def take(self, raw: dict) -> Outcome:
        order_id = str(raw.get("id", "?"))
        try:
            order = parse_order(raw)
        except ValidationError as error:
            return Outcome(order_id, False, reason=str(error))
        try:
            lines = self._reserve(order)
        except InventoryError as error:
            return Outcome(order_id, False, reason=str(error))
        notes = []
        try:
            quote = pricing.price(lines, country=order.country, coupon=order.coupon)
        except pricing.UnknownCoupon as error:
            # A bad coupon should not cost us the sale.
            notes.append(f"{error}, charged full price")
            quote = pricing.price(lines, country=order.country, coupon=None)
        return Outcome(order.id, True, quote=quote, notes=notes)


def revenue(outcomes: list[Outcome]) -> Decimal:
    return sum((o.quote.total for o in outcomes if o.quote is not None), Decimal("0"))
