"""The extension njkit._core: byte identity with _nj_py under literal rules,
results that no number of threads or batches changes, interruption, and the
texts of its errors. Arrays are the standard library's, so that the tests
run under the sanitizers without numpy (see scripts/sanitize)."""

import array
import os
import pickle
import random
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import _nj_py
from njkit import _core

DNA_MODELS = ["PDiff", "JukesCantor", "Kimura2P"]


def random_rows(rng, n, length, symbols):
    base = [rng.choice(symbols) for _ in range(length)]
    rows = []
    for k in range(n):
        row = [c if rng.random() > 0.15 else rng.choice(symbols) for c in base]
        rows.append((f"it's({k})" if k % 7 == 3 else f"s{k}", "".join(row)))
    return rows


def nj_py_tree(rows, model):
    return _nj_py.nj({"msa": [{"identifier": i, "sequence": s} for i, s in rows],
                      "n_bootstrap_samples": 0, "substitution_model": model})


def core_tree(aln, model, threads=1):
    return _core.build_tree(_core.distances_from_alignment(aln, model=model, threads=threads)).newick()


def outcome(call):
    """The Newick text, or the text of the ValueError (models that do not suit
    the alphabet are refused alike)."""
    try:
        return call()
    except ValueError as refused:
        return f"refused: {refused}"


def write_fasta(path, rows, width=60):
    with open(path, "w", encoding="utf-8") as out:
        for name, text in rows:
            out.write(f">{name} a description\n")
            out.writelines(text[k:k + width] + "\n" for k in range(0, len(text), width))


@pytest.mark.parametrize("symbols, models", [
    ("ACGT", DNA_MODELS),
    ("ACGTacgtNnUu--", DNA_MODELS),
    ("ARNDCQEGHILKMFPSTWYVXB*-", ["PDiff", "Poisson"]),
])
def test_literal_trees_are_those_of_nj_py(tmp_path, symbols, models):
    rng = random.Random(symbols)
    for trial in range(6):
        rows = random_rows(rng, rng.randint(2, 40), rng.choice([1, 60, 513, 1200]), symbols)
        names, texts = zip(*rows)
        from_texts = _core.alignment_from_sequences(names, texts, missing="literal")
        write_fasta(tmp_path / "in.fa", rows)
        from_file = _core.read_fasta(tmp_path / "in.fa", missing="literal")
        for model in models:
            expected = outcome(lambda: nj_py_tree(rows, model))
            assert outcome(lambda: core_tree(from_texts, model, threads=trial % 3 + 1)) == expected
            assert outcome(lambda: core_tree(from_file, model)) == expected


def test_refusals_in_the_words_of_nj_py():
    for rows, model in [([("a", "ACGT"), ("b", "ACGA")], "Poisson"), ([("a", "MKLV"), ("b", "MKLA")], "Kimura2P")]:
        aln = _core.alignment_from_sequences(*zip(*rows), missing="literal")
        refused = outcome(lambda: core_tree(aln, model))
        assert refused.startswith("refused: ") and refused == outcome(lambda: nj_py_tree(rows, model))


@pytest.fixture(scope="module")
def bootstrap_input():
    rng = random.Random(1)
    rows = random_rows(rng, 80, 400, "ACGTACGTN-")
    aln = _core.alignment_from_sequences(*zip(*rows), missing="skip")
    return aln, _core.build_tree(_core.distances_from_alignment(aln, model="Kimura2P"))


def support(inputs, first, count, threads=1, support="split", seed=5):
    aln, tree = inputs
    raw = _core.count_support(aln, tree, model="Kimura2P", seed=seed, first=first, count=count,
                              support=support, threads=threads)
    return list(memoryview(raw).cast("Q"))


@pytest.mark.parametrize("kind", ["split", "clade"])
def test_support_for_any_threads_and_batches(bootstrap_input, kind):
    whole = support(bootstrap_input, 0, 30, 1, kind)
    assert len(whole) == bootstrap_input[0].n - 1 and 0 < max(whole) <= 30
    for threads in (2, 3):
        assert support(bootstrap_input, 0, 30, threads, kind) == whole
    parts = [support(bootstrap_input, a, b - a, 2, kind) for a, b in [(0, 7), (7, 8), (8, 30)]]
    assert [sum(counts) for counts in zip(*parts)] == whole
    assert support(bootstrap_input, 0, 30, 2, kind, seed=6) != whole


def test_distances_for_any_threads(bootstrap_input):
    aln, _ = bootstrap_input
    squares = []
    n = aln.n
    for threads in (1, 2, 7):
        square = array.array("d", bytes(8 * n * n))
        _core.distances_from_alignment(aln, model="JukesCantor", threads=threads).to_square(square)
        squares.append(square)
    assert all(square == squares[0] for square in squares)
    first = squares[0]
    assert all(first[i * n + j] == first[j * n + i] for i in range(n) for j in range(i))
    assert not any(first[i * n + i] for i in range(n))


def test_progress_in_order_on_the_calling_thread(bootstrap_input):
    calls = []
    caller = threading.get_ident()
    aln, tree = bootstrap_input
    _core.count_support(aln, tree, model="PDiff", seed=1, first=3, count=12, threads=3,
                        on_progress=lambda done, total: calls.append((done, total, threading.get_ident())))
    assert calls == [(k, 12, caller) for k in range(1, 13)]


def test_an_exception_of_the_callback_stops_the_run(bootstrap_input):
    aln, tree = bootstrap_input

    def fail(done, total):
        raise LookupError(f"stop at {done}")

    with pytest.raises(LookupError, match="stop at 1"):
        _core.count_support(aln, tree, model="PDiff", seed=1, first=0, count=10**9, threads=2,
                            on_progress=fail)


def test_pickles_carry_the_encoded_values(bootstrap_input):
    aln, tree = bootstrap_input
    dist = _core.distances_from_alignment(aln, model="Kimura2P")
    aln2, tree2, dist2 = pickle.loads(pickle.dumps((aln, tree, dist)))
    assert (aln2.identifiers, aln2.n, aln2.length, aln2.alphabet, aln2.missing) == \
        (aln.identifiers, aln.n, aln.length, aln.alphabet, aln.missing)
    assert tree2.newick() == tree.newick() == _core.build_tree(dist2).newick()
    assert support((aln2, tree2), 0, 5) == support((aln, tree), 0, 5)


def test_consumed_distances_refuse_further_use():
    dist = _core.distances_from_array(["a", "b", "c"], array.array("d", [1.0, 2.0, 3.0]), layout="condensed")
    tree = _core.build_tree(dist, consume=True)
    assert tree.n == 3
    for use in (lambda: dist.names, lambda: _core.build_tree(dist), lambda: pickle.dumps(dist)):
        with pytest.raises(ValueError, match="consumed"):
            use()


@pytest.mark.parametrize("call, message", [
    (lambda: _core.alignment_from_sequences(["a", "b b"], ["ACGT", "ACG"], missing="skip"),
     'sequence "b b" (number 2) has length 3, expected 4'),
    (lambda: _core.alignment_from_sequences([], [], missing="skip"), "no sequences"),
    (lambda: _core.distances_from_alignment(
        _core.alignment_from_sequences(["x", "y"], ["AC--", "--GT"], missing="skip"), model="PDiff"),
     'sequences "x" and "y" share no column where both hold a residue: their distance is undefined'),
    (lambda: _core.distances_from_array(["a", "b"], array.array("d", [0.0, 1.0, 2.0, 0.0]), layout="square"),
     'the matrix is not symmetric: the distance between "a" and "b" is 1.0 above the diagonal '
     'but 2.0 below it'),
    (lambda: _core.alignment_from_sequences(["a"], ["A"], missing="maybe"),
     "missing must be one of 'skip', 'literal', not 'maybe'"),
    (lambda: _core.read_fasta("/nonexistent/in.fa", missing="skip"),
     "/nonexistent/in.fa: No such file or directory"),
])
def test_error_texts(call, message):
    with pytest.raises(ValueError) as refused:
        call()
    assert str(refused.value) == message


def test_a_replicate_without_a_compared_column_is_named():
    aln = _core.alignment_from_sequences(["x", "y", "z"], ["A" + "-" * 30, "-" * 30 + "C", "A" * 31],
                                         missing="skip")
    tree = _core.build_tree(_core.distances_from_alignment(aln, model="PDiff", undefined="nan"))
    with pytest.raises(ValueError, match=r'^bootstrap replicate \d+: sequences "x" and "y" share no column'):
        _core.count_support(aln, tree, model="PDiff", seed=3, first=0, count=5, threads=2)
    raw = _core.count_support(aln, tree, model="PDiff", seed=3, first=0, count=5, undefined="nan")
    assert len(raw) == 16


def test_fasta_in_pieces_equals_the_file(tmp_path):
    rows = random_rows(random.Random(2), 30, 700, "ACGTN-")
    write_fasta(tmp_path / "in.fa", rows)
    data = (tmp_path / "in.fa").read_bytes()
    parser = _core.FastaParser(missing="skip", source="in.fa")
    for k in range(0, len(data), 1000):
        parser.feed(memoryview(data)[k:k + 1000])
    pieces = parser.finish()
    whole = _core.read_fasta(str(tmp_path / "in.fa"), missing="skip")
    assert pickle.dumps(pieces) == pickle.dumps(whole)
    assert pieces.identifiers == [name.split()[0] for name, _ in rows]


INTERRUPTED = textwrap.dedent("""
    import os, signal, threading
    from njkit import _core
    aln = _core.alignment_from_sequences([f"s{k}" for k in range(300)],
                                         ["".join("ACGT"[(k * j + j // 7) % 4] for j in range(600))
                                          for k in range(300)], missing="skip")
    tree = _core.build_tree(_core.distances_from_alignment(aln, model="PDiff"))
    before = len(os.listdir("/proc/self/task"))
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        _core.count_support(aln, tree, model="PDiff", seed=1, first=0, count=10**12, threads=2)
    except KeyboardInterrupt:
        timer.join()
        print("interrupted, threads left:", len(os.listdir("/proc/self/task")) - before)
""")


ENDED_BY_THE_INTERPRETER = textwrap.dedent("""
    import threading, time
    from njkit import _core
    aln = _core.alignment_from_sequences([f"s{k}" for k in range(200)],
                                         ["".join("ACGT"[(k * j + j // 5) % 4] for j in range(500))
                                          for k in range(200)], missing="skip")
    tree = _core.build_tree(_core.distances_from_alignment(aln, model="PDiff"))
    started = threading.Event()
    def run():
        _core.count_support(aln, tree, model="PDiff", seed=1, first=0, count=10**12, threads=2,
                            on_progress=lambda done, total: started.set())
    threading.Thread(target=run, daemon=True).start()
    started.wait()
    print("main thread ends")
""")


def test_a_run_in_a_thread_the_interpreter_ends_unwinds_cleanly():
    # The daemon thread is ended while it takes the lock back to report
    # progress; its workers are stopped and joined on the way out.
    # Python's own records of the ended thread are never freed; under the
    # sanitizers the leak check would report them.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    done = subprocess.run([sys.executable, "-c", ENDED_BY_THE_INTERPRETER], capture_output=True,
                          text=True, timeout=120, env=env)
    assert (done.returncode, done.stdout) == (0, "main thread ends\n"), done.stderr


def test_ctrl_c_stops_every_worker():
    # A watchdog: a run that Ctrl-C does not stop fails here, not hangs.
    done = subprocess.run([sys.executable, "-c", INTERRUPTED], capture_output=True, text=True, timeout=120)
    assert done.stdout == "interrupted, threads left: 0\n", done.stderr


def test_no_reference_is_kept_on_any_path(bootstrap_input):
    aln, tree = bootstrap_input
    names, texts, bad_texts = ["a", "b"], ["ACGT", "ACGA"], ["ACGT", b"ACG"]
    counts = bytearray(8 * (tree.n - 1))
    progress = [].append
    watched = [aln, tree, names, texts, bad_texts, counts, progress, *names, *bad_texts]
    before = [sys.getrefcount(x) for x in watched]
    for _ in range(100):
        _core.alignment_from_sequences(names, texts, missing="skip")
        with pytest.raises(ValueError):
            _core.alignment_from_sequences(names, bad_texts, missing="skip")
        with pytest.raises(TypeError):
            _core.count_support(aln, tree, model="PDiff", seed=1, first=0, count=1, on_progress=3)
        _core.count_support(aln, tree, model="PDiff", seed=1, first=0, count=1,
                            on_progress=lambda done, total: progress(done))
        tree.newick(counts, 1, True)
        pickle.loads(pickle.dumps((aln, tree)))
    assert [sys.getrefcount(x) for x in watched] == before
