"""The end-of-day summary."""

from __future__ import annotations

from collections import Counter, defaultdict
from decimal import Decimal

from shop.inventory import Inventory
from shop.orders import Outcome, revenue
from shop.shipping import Parcel


def best_sellers(outcomes: list[Outcome], top: int = 3) -> list[tuple[str, int]]:
    sold: Counter[str] = Counter()
    for outcome in outcomes:
        if outcome.quote is not None:
            for line in outcome.quote.lines:
                sold[line.title] += line.quantity
    return sold.most_common(top)


def revenue_by_genre(outcomes: list[Outcome]) -> dict[str, Decimal]:
    totals: dict[str, Decimal] = defaultdict(Decimal)
    for outcome in outcomes:
        if outcome.quote is not None:
            for line in outcome.quote.lines:
                totals[line.genre] += line.total
    return dict(sorted(totals.items(), key=lambda item: item[1], reverse=True))


def render(outcomes: list[Outcome], parcels: list[Parcel], inventory: Inventory) -> str:
    accepted = [o for o in outcomes if o.accepted]
    rejected = [o for o in outcomes if not o.accepted]
    lines = [
        f"Orders: {len(accepted)} accepted, {len(rejected)} rejected, revenue {revenue(outcomes)}",
        "Revenue by genre: " + ", ".join(f"{genre} {amount}" for genre, amount in revenue_by_genre(outcomes).items()),
        "Best sellers: " + ", ".join(f"{title} (x{count})" for title, count in best_sellers(outcomes)),
        f"Parcels: {len(parcels)}, {sum(p.grams for p in parcels) / 1000:.2f} kg in all",
    ]
    for outcome in rejected:
        lines.append(f"  rejected {outcome.order_id}: {outcome.reason}")
    for outcome in accepted:
        for note in outcome.notes:
            lines.append(f"  note on {outcome.order_id}: {note}")
    low = inventory.low_stock()
    if low:
        lines.append("Reorder: " + ", ".join(f"{book.title} ({book.stock} left)" for book in low))
    return "\n".join(lines)
