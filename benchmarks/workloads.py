"""Workloads timed by run.py.

Each workload is built by ``make(name, scale)`` into a zero-argument callable
that the child process times as a whole.  Everything the workload needs
(modules, data, compiled classes) is set up by ``make`` so that only the work
itself runs inside the timed region, and every mode runs exactly the same code
with exactly the same arguments.

This file must live outside any ``lib/python*`` or ``site-packages`` directory:
its functions are the "user code" that the profiler records.
"""

from __future__ import annotations

import dataclasses
import email.message
import email.parser
import email.policy
import fractions
import json
import pathlib
import re

# ---------------------------------------------------------------------------
# recursive: nothing but calls, the smallest possible frames.


def fib(n):
    if n < 2:
        return n
    return fib(n - 1) + fib(n - 2)


def _make_recursive(scale: float):
    # fib(20) is 21,891 calls; repeating it keeps the recursion shallow while
    # making the timed region long enough to dwarf timer and scheduler noise.
    rounds = max(1, round(80 * scale))

    def recursive():
        total = 0
        for _ in range(rounds):
            total += fib(20)
        return total

    return recursive


# ---------------------------------------------------------------------------
# objects: methods with several real arguments and locals holding dicts,
# lists and strings; the kind of frame a tracing profiler must serialise.


class Product:
    def __init__(self, sku, name, unit_price, weight_kg, tags):
        self.sku = sku
        self.name = name
        self.unit_price = unit_price
        self.weight_kg = weight_kg
        self.tags = tags

    def price_for(self, quantity, customer_tier):
        discount = {"gold": 0.10, "silver": 0.05}.get(customer_tier, 0.0)
        gross = self.unit_price * quantity
        return round(gross * (1.0 - discount), 2)


class OrderLine:
    def __init__(self, product, quantity, note=""):
        self.product = product
        self.quantity = quantity
        self.note = note

    def total(self, customer_tier):
        return self.product.price_for(self.quantity, customer_tier)

    def weight(self):
        return self.product.weight_kg * self.quantity


class Order:
    def __init__(self, order_id, customer, tier, lines):
        self.order_id = order_id
        self.customer = customer
        self.tier = tier
        self.lines = lines

    def subtotal(self):
        return sum(line.total(self.tier) for line in self.lines)

    def shipping(self, rates):
        weight = sum(line.weight() for line in self.lines)
        band = "heavy" if weight > 20 else "light"
        return rates[band] + 0.5 * len(self.lines)

    def summary(self, rates, tax_rate):
        subtotal = self.subtotal()
        shipping = self.shipping(rates)
        tax = round(subtotal * tax_rate, 2)
        return {
            "id": self.order_id,
            "customer": self.customer,
            "subtotal": subtotal,
            "shipping": shipping,
            "tax": tax,
            "total": round(subtotal + shipping + tax, 2),
        }


class Inventory:
    def __init__(self, warehouse):
        self.warehouse = warehouse
        self.stock = {}
        self.products = {}

    def add_product(self, product, quantity, location):
        self.products[product.sku] = product
        self.stock[product.sku] = {"quantity": quantity, "location": location}

    def available(self, sku, quantity):
        entry = self.stock.get(sku)
        return entry is not None and entry["quantity"] >= quantity

    def reserve(self, order):
        missing = [line.product.sku for line in order.lines if not self.available(line.product.sku, line.quantity)]
        if missing:
            return False, missing
        for line in order.lines:
            self.take(line.product.sku, line.quantity)
        return True, []

    def take(self, sku, quantity):
        entry = self.stock[sku]
        entry["quantity"] -= quantity
        return entry["quantity"]

    def restock(self, sku, quantity, reason):
        entry = self.stock[sku]
        entry["quantity"] += quantity
        return f"{self.warehouse}: {sku} +{quantity} ({reason})"


def build_catalogue(count):
    catalogue = []
    for i in range(count):
        tags = ["fragile"] if i % 7 == 0 else ["standard", f"aisle-{i % 12}"]
        catalogue.append(Product(f"SKU-{i:05d}", f"Item number {i}", 1.5 + (i % 40) * 0.75, 0.2 + (i % 9) * 0.4, tags))
    return catalogue


def make_order(order_id, catalogue, first, line_count):
    lines = []
    for offset in range(line_count):
        product = catalogue[(first + offset * 3) % len(catalogue)]
        lines.append(OrderLine(product, 1 + (order_id + offset) % 4, note=f"line {offset}"))
    tier = ("gold", "silver", "bronze")[order_id % 3]
    return Order(order_id, f"customer-{order_id % 97}", tier, lines)


def process_orders(inventory, catalogue, order_count, rates, tax_rate):
    report = {"accepted": 0, "rejected": 0, "revenue": 0.0, "notes": []}
    for order_id in range(order_count):
        order = make_order(order_id, catalogue, order_id * 5, 3 + order_id % 5)
        ok, missing = inventory.reserve(order)
        if ok:
            summary = order.summary(rates, tax_rate)
            report["accepted"] += 1
            report["revenue"] += summary["total"]
        else:
            report["rejected"] += 1
            for sku in missing:
                report["notes"].append(inventory.restock(sku, 25, f"order {order_id}"))
    return report


def _make_objects(scale: float):
    # One round of 1,000 orders is about 23,000 recorded calls.
    rounds = max(1, round(10 * scale))
    rates = {"light": 4.99, "heavy": 12.5}

    def objects():
        result = None
        for _ in range(rounds):
            catalogue = build_catalogue(200)
            inventory = Inventory("north")
            for index, product in enumerate(catalogue):
                inventory.add_product(product, 10 + index % 30, f"rack-{index % 16}")
            result = process_orders(inventory, catalogue, 1000, rates, 0.2)
        return result

    return objects


# ---------------------------------------------------------------------------
# library: a few user functions that lean on the standard library, so nearly
# every call the interpreter reports is one the profiler must skip.


@dataclasses.dataclass
class Shipment:
    reference: str
    destination: str
    parcels: list
    cost: fractions.Fraction


_TRACKING = re.compile(r"\b([A-Z]{2})-(\d{4,})\b")


def make_message(index, shipment):
    message = email.message.EmailMessage()
    message["From"] = "dispatch@example.com"
    message["To"] = f"customer{index}@example.org"
    message["Subject"] = f"Shipment {shipment.reference} to {shipment.destination}"
    message.set_content(json.dumps(dataclasses.asdict(shipment), default=str, indent=2))
    return message.as_string()


def read_message(raw):
    parsed = email.parser.Parser(policy=email.policy.default).parsestr(raw)
    body = parsed.get_body(preferencelist=("plain",)).get_content()
    return parsed["Subject"], json.loads(body)


def archive_path(root, shipment):
    path = pathlib.PurePosixPath(root) / shipment.destination.lower() / f"{shipment.reference}.eml"
    return str(path.with_suffix(".msg")), path.parts


def _make_library(scale: float):
    iterations = max(1, round(60 * scale))

    def library():
        total = fractions.Fraction(0)
        codes = []
        for index in range(iterations):
            shipment = Shipment(
                reference=f"SH-{1000 + index}",
                destination=("Oslo", "Lima", "Pune", "Graz")[index % 4],
                parcels=[{"weight": 1 + index % 5, "tracking": f"TR-{index:06d}"} for _ in range(3)],
                cost=fractions.Fraction(index % 17 + 3, 4),
            )
            raw = make_message(index, shipment)
            subject, data = read_message(raw)
            codes.extend(_TRACKING.findall(json.dumps(data)))
            archive_path("/srv/archive", shipment)
            total += fractions.Fraction(data["cost"]) + len(subject)
        return total, len(codes)

    return library


# ---------------------------------------------------------------------------
# biglocals: the same small function, called in a loop, with locals holding
# big values (a 100,000-int list, a 10,000-entry dict, a 1 MB str). What a
# recorded call costs must follow the serialiser's budget, not the values'
# size: compared with smalllocals, the same loop with small values.


def tally(items, table, text, round_number):
    size = len(items) + len(table) + len(text)
    return size + round_number


def _make_locals_loop(items, table, text, rounds: int):

    def loop():
        total = 0
        for round_number in range(rounds):
            total += tally(items, table, text, round_number)
        return total

    return loop


def _make_biglocals(scale: float):
    items = list(range(100_000))
    table = {f"key{i}": i for i in range(10_000)}
    text = "x" * 1_000_000
    # Fewer rounds: a peer that copies every value whole takes a tenth of a
    # second per call here. Costs are compared per recorded call.
    return _make_locals_loop(items, table, text, max(1, round(500 * scale)))


def _make_smalllocals(scale: float):
    return _make_locals_loop([1, 2, 3], {"key0": 0}, "x" * 10, max(1, round(20_000 * scale)))


WORKLOADS = {
    "recursive": _make_recursive,
    "objects": _make_objects,
    "library": _make_library,
    "biglocals": _make_biglocals,
    "smalllocals": _make_smalllocals,
}


def make(name: str, scale: float = 1.0):
    return WORKLOADS[name](scale)
