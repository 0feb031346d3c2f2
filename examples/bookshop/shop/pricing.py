"""Prices, discounts, tax and shipping costs of an order."""

from __future__ import annotations

from dataclasses import dataclass, field
from decimal import ROUND_HALF_UP, Decimal

CENT = Decimal("0.01")

VAT_RATES = {
    "GB": Decimal("0"),
    "FR": Decimal("0.055"),
    "DE": Decimal("0.07"),
    "NL": Decimal("0.09"),
    "FI": Decimal("0.10"),
}
SHIPPING = {"domestic": Decimal("3.50"), "europe": Decimal("7.90"), "world": Decimal("14.00")}
EUROPE = {"GB", "FR", "DE", "NL", "FI"}


def money(amount: Decimal) -> Decimal:
    return amount.quantize(CENT, rounding=ROUND_HALF_UP)


@dataclass(frozen=True)
class PricedLine:
    isbn: str
    title: str
    genre: str
    quantity: int
    unit_price: Decimal

    @property
    def total(self) -> Decimal:
        return self.unit_price * self.quantity


@dataclass(frozen=True)
class Discount:
    label: str
    amount: Decimal


@dataclass
class Quote:
    lines: list[PricedLine]
    discounts: list[Discount] = field(default_factory=list)
    shipping: Decimal = Decimal("0")
    tax: Decimal = Decimal("0")

    @property
    def subtotal(self) -> Decimal:
        return sum((line.total for line in self.lines), Decimal("0"))

    @property
    def total(self) -> Decimal:
        discounted = self.subtotal - sum((d.amount for d in self.discounts), Decimal("0"))
        return money(discounted + self.shipping + self.tax)


class UnknownCoupon(ValueError):
    pass


@dataclass(frozen=True)
class PercentOff:
    """A coupon taking a percentage off the books of one genre (or all)."""

    code: str
    percent: int
    genre: str | None = None

    def apply(self, quote: Quote) -> Discount | None:
        eligible = [line for line in quote.lines if self.genre is None or line.genre == self.genre]
        if not eligible:
            return None
        base = sum((line.total for line in eligible), Decimal("0"))
        return Discount(f"coupon {self.code}", money(base * self.percent / 100))


COUPONS = {
    "READMORE": PercentOff("READMORE", 10),
    "SCIFI20": PercentOff("SCIFI20", 20, genre="science-fiction"),
}


def bulk_discount(quote: Quote) -> Discount | None:
    books = sum(line.quantity for line in quote.lines)
    if books >= 4:
        return Discount(f"{books} books", money(quote.subtotal * Decimal("0.05")))
    return None


def shipping_cost(country: str, books: int) -> Decimal:
    zone = "domestic" if country == "US" else "europe" if country in EUROPE else "world"
    extra = Decimal("0.75") * max(0, books - 1)
    return money(SHIPPING[zone] + extra)


def price(lines: list[PricedLine], *, country: str, coupon: str | None) -> Quote:
    quote = Quote(lines)
    if coupon is not None:
        rule = COUPONS.get(coupon)
        if rule is None:
            raise UnknownCoupon(f"unknown coupon {coupon!r}")
        discount = rule.apply(quote)
        if discount is not None:
            quote.discounts.append(discount)
    bulk = bulk_discount(quote)
    if bulk is not None:
        quote.discounts.append(bulk)
    quote.shipping = shipping_cost(country, sum(line.quantity for line in lines))
    taxable = quote.subtotal - sum((d.amount for d in quote.discounts), Decimal("0"))
    quote.tax = money(taxable * VAT_RATES.get(country, Decimal("0")))
    return quote
