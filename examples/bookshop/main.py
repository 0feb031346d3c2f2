"""Process a day of bookshop orders and print the summary.

python examples/bookshop/main.py [--orders FILE] [--inventory FILE]
"""

from __future__ import annotations

import argparse
import json
from pathlib import Path

from shop import report
from shop.inventory import Inventory
from shop.orders import OrderDesk
from shop.shipping import ShippingWorker

DATA = Path(__file__).resolve().parent / "data"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--orders", type=Path, default=DATA / "orders.json")
    parser.add_argument("--inventory", type=Path, default=DATA / "books.csv")
    options = parser.parse_args(argv)

    inventory = Inventory.load_csv(options.inventory)
    raw_orders = json.loads(options.orders.read_text(encoding="utf-8"))
    desk = OrderDesk(inventory)
    worker = ShippingWorker()
    worker.start()

    outcomes = []
    for raw in raw_orders:
        outcome = desk.take(raw)
        outcomes.append(outcome)
        if outcome.accepted:
            worker.submit(outcome)
    worker.close()
    worker.join()

    print(report.render(outcomes, worker.parcels, inventory))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
