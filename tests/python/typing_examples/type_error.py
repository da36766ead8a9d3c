"""A mistake the stubs must catch: search() takes k as an int."""

import qorel


def run(path: str) -> None:
    db = qorel.Database(path, dim=3)
    db.search([1.0, 0.0, 0.0], k="ten")
