"""Shared pieces of the benchmarks: the synthetic data sets and exact ground truth."""

import numpy as np


def mixture(n, dim=128, centres=1000, centre_scale=1.0, seed=0, dirichlet=True):
    """Gaussian mixture: centres from N(0, centre_scale^2 I), unit spread around each.

    The reference mixture uses 1000 centres with Dirichlet(1) weights; the well-separated one
    100 centres drawn with a scale of 10 (variance 100) and equal weights.
    """
    rng = np.random.default_rng(seed)
    c = rng.standard_normal((centres, dim)).astype(np.float32) * centre_scale
    w = rng.dirichlet(np.ones(centres)) if dirichlet else np.full(centres, 1.0 / centres)
    # The same centres for base and queries: queries use seed + 1 for their draws only.
    return c, w


def draw(c, w, n, seed):
    rng = np.random.default_rng(seed)
    pick = rng.choice(len(c), size=n, p=w)
    return (c[pick] + rng.standard_normal((n, c.shape[1])).astype(np.float32)).astype(np.float32)


DATASETS = {
    "reference": dict(centres=1000, centre_scale=1.0, dirichlet=True),
    "separated": dict(centres=100, centre_scale=10.0, dirichlet=False),
}


def dataset(name, n, nq, dim=128, seed=42):
    c, w = mixture(n, dim, seed=seed, **DATASETS[name])
    return draw(c, w, n, seed + 1), draw(c, w, nq, seed + 2)


def ground_truth(base, queries, k=10):
    """Exact k nearest neighbours under squared L2, in blocks to bound memory."""
    b2 = (base.astype(np.float64) ** 2).sum(1)
    out = np.empty((len(queries), k), dtype=np.uint32)
    for i in range(0, len(queries), 256):
        q = queries[i:i + 256].astype(np.float64)
        d = b2[None, :] - 2.0 * q @ base.T.astype(np.float64)
        idx = np.argpartition(d, k, axis=1)[:, :k]
        order = np.take_along_axis(d, idx, 1).argsort(1)
        out[i:i + 256] = np.take_along_axis(idx, order, 1)
    return out


def write_fbin(path, a):
    a = np.ascontiguousarray(a)
    with open(path, "wb") as f:
        np.array(a.shape, dtype=np.uint32).tofile(f)
        a.tofile(f)


def recall(found, truth, k=10):
    hits = 0
    for f, t in zip(found, truth):
        hits += len(set(int(x) for x in f[:k]) & set(int(x) for x in t[:k]))
    return hits / (len(truth) * k)


def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0
