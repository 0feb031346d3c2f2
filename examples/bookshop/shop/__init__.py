"""A small bookshop back office: stock, pricing, orders and shipping."""
