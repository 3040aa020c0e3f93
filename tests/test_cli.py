"""The grammar-engine command line: grammar files, derivation trees, and the tool run
as a subprocess on small files."""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import reference_model as model
from conftest import interruptible
from grammar_engine.corpus import default_corpus, generate_default_corpus
from grammar_engine.errors import InputError
from grammar_engine.grammar import Grammar
from grammar_engine.grammar_file import format_grammar, parse_grammar


def _engine_has(*names: str) -> bool:
    try:
        import _engine
    except ImportError:
        return False
    return all(hasattr(_engine, name) for name in names)


needs_engine = pytest.mark.skipif(
    not _engine_has("to_cnf_tagged", "parse_cnf", "grammar_bpc", "induce_full"),
    reason="the native module _engine is not built with all four functions",
)


def _subprocess_env() -> dict[str, str]:
    # The tool must find the same grammar_engine and _engine as this process,
    # also from another working directory: put their directories first, absolute.
    paths = []
    for name in ("grammar_engine", "_engine"):
        spec = importlib.util.find_spec(name)
        if spec is not None and spec.origin is not None:
            origin = Path(spec.origin).resolve()
            paths.append(str(origin.parent.parent if spec.submodule_search_locations else origin.parent))
    inherited = os.environ.get("PYTHONPATH", "")
    paths += [str(Path(entry).resolve()) for entry in inherited.split(os.pathsep) if entry]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(paths), "PYTHONIOENCODING": "utf-8"}


ENV = _subprocess_env()


def run_tool(cwd: Path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "grammar_engine", *args],
        cwd=cwd,
        env=ENV,
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=120,
    )


def write(directory: Path, name: str, content: str | bytes) -> str:
    path = directory / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content, encoding="utf-8")
    return name


# Grammar files ----------------------------------------------------------------


@pytest.mark.parametrize(
    "text, productions, terminals, start",
    [
        (
            "S -> 'a' S 'b' | 'a' 'b'\n",
            [("S", ("a", "S", "b")), ("S", ("a", "b"))],
            ("a", "b"),
            "S",
        ),
        (  # both quote kinds, empty and multi-character terminals, spaces kept
            """S -> "it's" '' ' x y ' 'say "hi"'\n""",
            [("S", ("it's", "", " x y ", 'say "hi"'))],
            ("it's", "", " x y ", 'say "hi"'),
            "S",
        ),
        (  # no escape sequences: a backslash is an ordinary character
            r"S -> '\n' '\'" + "\n",
            [("S", ("\\n", "\\"))],
            ("\\n", "\\"),
            "S",
        ),
        (  # comments, blank lines, a continued line, no space around the arrow
            "# header\n\n  A->'a'B # trailing\nB -> 'b' \\\n   | 'c'\n",
            [("A", ("a", "B")), ("B", ("b",)), ("B", ("c",))],
            ("a", "b", "c"),
            "A",
        ),
        (  # %start names the start symbol; #%terminals adds unused terminals
            "%start B  # the pair\n#%terminals 'z' \"'\"\nA -> 'a'\nB -> A A\n",
            [("A", ("a",)), ("B", ("A", "A"))],
            ("z", "'", "a"),
            "B",
        ),
        (  # empty right-hand sides, as NLTK writes them: empty productions
            "S -> 'a' |\nA ->\n",
            [("S", ("a",)), ("S", ()), ("A", ())],
            ("a",),
            "S",
        ),
        (  # names as NLTK allows them, non-ASCII terminals
            "NP/x -> Det^1 N<2> 'é' '𝔸'\n",
            [("NP/x", ("Det^1", "N<2>", "é", "𝔸"))],
            ("é", "𝔸"),
            "NP/x",
        ),
    ],
)
def test_grammar_file_reading(text, productions, terminals, start):
    grammar = parse_grammar(text.splitlines(), "g.cfg")
    assert list(grammar.productions) == productions
    assert grammar.terminals == terminals
    assert grammar.start == start


@pytest.mark.parametrize(
    "text, line, message",
    [
        ("S -> 'a'\nS 'a'\n", 2, "malformed production: expected '->' after S, found \"'a'\""),
        ("S -> 'a\n", 1, "malformed production: unterminated terminal at \"'a\""),
        ("S -> 'a' [0.5]\n", 1, "malformed production: unexpected '['"),
        ("'a' -> 'b'\n", 1, "malformed production: expected a nonterminal name"),
        ("\n%start X\nS -> 'a'\n", 2, "no production has the start symbol X on its left"),
        ("%begin S\nS -> 'a'\n", 1, "unknown directive %begin"),
        ("#%terminals 'a' B\nS -> 'a'\n", 1, "#%terminals takes quoted terminals only"),
        ("# nothing\n", None, "no productions"),
    ],
)
def test_grammar_file_errors(text, line, message):
    with pytest.raises(InputError) as caught:
        parse_grammar(text.splitlines(), "g.cfg")
    assert (caught.value.path, caught.value.line) == ("g.cfg", line)
    assert caught.value.message.startswith(message)


@pytest.mark.parametrize(
    "productions, terminals, start",
    [
        ([("S", ("a", "S", "b")), ("S", ("S", "S"))], ["a", "b", "x"], "S"),
        ([("A", ("'", '"', "")), ("S", ("A", "#", " "))], ["'", '"', "", "#", " "], "S"),
        ([("S", ("S", "S")), ("S", ("S",))], ["S"], "S"),
    ],
)
def test_written_grammar_reads_back_the_same(productions, terminals, start):
    text = format_grammar(productions, terminals, start, ["a comment"])
    grammar = parse_grammar(text.splitlines(), "out.cfg")
    assert (list(grammar.productions), set(grammar.terminals), grammar.start) == (
        productions,
        set(terminals),
        start,
    )


@pytest.mark.parametrize(
    "productions, terminals",
    [([("S", ("a'\"b",))], ["a'\"b"]), ([("S", ("(",))], []), ([("S", ("a\nb",))], ["a\nb"])],
)
def test_unwritable_grammars_are_refused(productions, terminals):
    # Both quote kinds, a line break, or a nonterminal that is no valid name
    # would read back as something else.
    with pytest.raises(ValueError):
        format_grammar(productions, terminals, "S")


# Derivation trees ------------------------------------------------------------

MIXED = """
S -> A B | 'x'
A -> 'a' | 'a' A
B -> 'b' 'c' 'd' 'e'
"""


@needs_engine
def test_tree_over_natural_productions():
    # One-symbol productions are leaves, pre-terminals and chain links vanish.
    grammar = Grammar.from_string(MIXED)
    assert grammar.parse("aabcde").pretty() == (
        "S\n"
        "├── A\n"
        "│   ├── 'a'\n"
        "│   └── A\n"
        "│       └── 'a'\n"
        "└── B\n"
        "    ├── 'b'\n"
        "    ├── 'c'\n"
        "    ├── 'd'\n"
        "    └── 'e'\n"
    )
    assert grammar.parse("x").pretty() == "S\n└── 'x'\n"


@needs_engine
def test_tree_of_a_deep_derivation():
    # Nesting deeper than the interpreter's recursion limit.
    depth = 2000
    grammar = Grammar.from_string("S -> '(' S ')' | '(' ')'")
    tree = grammar.parse("(" * depth + ")" * depth)
    lines = tree.pretty().splitlines()
    assert len(lines) == 3 * depth
    assert lines[-1] == "└── ')'"


@needs_engine
def test_dot_keeps_child_order_and_escapes_labels():
    dot = Grammar.from_string("S -> '\"' '\\'\n").parse('"\\').to_dot()
    assert "ordering=out;" in dot
    assert dot.count("->") == 2


def test_default_corpus_is_the_generated_one():
    lines = default_corpus()
    assert lines == generate_default_corpus()
    assert len(lines) == len(set(lines)) == 274


# The tool as a subprocess -----------------------------------------------------

ANBN = "S -> 'a' S 'b' | 'a' 'b'\n"


@needs_engine
def test_induce_on_the_default_corpus_finds_the_bracket_grammar(tmp_path):
    result = run_tool(tmp_path, "induce")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == [
        "training: default corpus (balanced brackets), 206 lines",
        "test: default corpus (balanced brackets), 68 lines",
        "strategy: wrap",
    ]
    assert lines[3:5] == ["bits per byte: 1.6281", "test lines parsed: 68 of 68 (100.0%)"]
    assert lines[5:] == [
        "grammar (5 productions):",
        "  S -> '(' S ')'",
        "  S -> '(' ')'",
        "  S -> '[' S ']'",
        "  S -> '[' ']'",
        "  S -> S S",
    ]


@needs_engine
def test_induce_json_and_the_round_trip_through_a_grammar_file(tmp_path):
    write(tmp_path, "train.txt", "ab\naabb\naaabbb\nab\naab\n")
    write(tmp_path, "test.txt", "aabb\nab\nabab\n")
    files = ["--train", "train.txt", "--test", "test.txt", "--alphabet", "abx"]
    as_json = run_tool(tmp_path, "induce", *files, "--json", "--grammar-out", "g.cfg")
    assert as_json.returncode == 0, as_json.stderr
    result = json.loads(as_json.stdout)
    assert result == {
        "strategy": "wrap",
        "bpc": result["bpc"],
        "grammar": ["S->aSb", "S->ab", "S->SS"],
        "productions": [["S", ["a", "S", "b"]], ["S", ["a", "b"]], ["S", ["S", "S"]]],
        "notation": ["S -> 'a' S 'b'", "S -> 'a' 'b'", "S -> S S"],
        "test_lines": 3,
        "test_lines_parsed": 3,
        "warnings": ["only 3 test lines: a score on so little text says little"],
    }
    # 'x' is in no production, but stays in the terminal set, so the score agrees.
    assert "#%terminals 'x'\n" in (tmp_path / "g.cfg").read_text(encoding="utf-8")
    scored = run_tool(tmp_path, "score", "g.cfg", "test.txt")
    assert scored.returncode == 0, scored.stderr
    assert f"bpc_with_lib     {result['bpc']:.4f}\n" in scored.stdout
    assert run_tool(tmp_path, "parse", "g.cfg", "aabb").returncode == 0


@needs_engine
def test_score_prints_a_table(tmp_path):
    write(tmp_path, "g.cfg", ANBN)
    write(tmp_path, "c.txt", "ab\naabb\n\nba\n")
    result = run_tool(tmp_path, "score", "g.cfg", "c.txt")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == (
        "grammar: g.cfg (2 productions, start S)\n"
        "corpus: c.txt (3 lines, 8 bytes)\n"
        "metric            value\n"
        "bpc_with_lib     2.3444\n"
        "l_library         14.00\n"
        "l_data             4.75\n"
        "parse_failures        1\n"
        "total_decisions       3\n"
        "lines parsed: 2 of 3 (66.7%)\n"
    )


@needs_engine
@pytest.mark.parametrize(
    "args, code, stdout",
    [
        (["ab"], 0, "S\n├── 'a'\n└── 'b'\n"),
        (["aabb"], 0, "S\n├── 'a'\n├── S\n│   ├── 'a'\n│   └── 'b'\n└── 'b'\n"),
        (["ba"], 1, "no parse\n"),
        (["", "--start", "S"], 1, "no parse\n"),
    ],
)
def test_parse_draws_the_tree(tmp_path, args, code, stdout):
    write(tmp_path, "g.cfg", ANBN)
    result = run_tool(tmp_path, "parse", "g.cfg", *args)
    assert (result.returncode, result.stdout, result.stderr) == (code, stdout, "")


@needs_engine
def test_parse_keeps_the_grammars_names_apart_from_the_engines(tmp_path):
    # A nonterminal named like the conversion's auxiliaries is the user's own.
    write(tmp_path, "aux.cfg", "S -> 'a' _AUX1\n_AUX1 -> 'b'\n")
    parsed = run_tool(tmp_path, "parse", "aux.cfg", "ab")
    assert (parsed.returncode, parsed.stdout, parsed.stderr) == (0, "S\n├── 'a'\n└── _AUX1\n    └── 'b'\n", "")
    assert run_tool(tmp_path, "parse", "aux.cfg", "aa").stdout == "no parse\n"


@needs_engine
def test_cnf_and_a_grammar_written_for_nltk(tmp_path):
    write(
        tmp_path,
        "nltk.cfg",
        "# A grammar in NLTK's CFG.fromstring notation\n"
        "S -> NP VP\n"
        "NP -> Det N | 'I'\n"
        "VP -> V NP | V\n"
        'Det -> "the" | \'a\'\n'
        "N -> 'dog' | \"cat's toy\"\n"
        "V -> 'saw'\n",
    )
    result = run_tool(tmp_path, "cnf", "nltk.cfg")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.splitlines() == [
        "0  S -> NP VP",
        "1  NP -> Det N",
        "2  NP -> 'I'",
        "3  VP -> V NP",
        "4  VP -> V",
        "5  Det -> 'the'",
        "6  Det -> 'a'",
        "7  N -> 'dog'",
        "8  N -> \"cat's toy\"",
        "9  V -> 'saw'",
    ]
    # A name that is both terminal and nonterminal: the rules show which is which.
    write(tmp_path, "clash.cfg", "S -> 'S' S | 'S'\n")
    assert run_tool(tmp_path, "cnf", "clash.cfg").stdout.splitlines() == [
        "-1  _AUX1 -> 'S'",
        " 0  S -> _AUX1 S",
        " 1  S -> 'S'",
    ]
    write(tmp_path, "abc.cfg", "S -> 'a' S 'b' | 'a' 'b' | 'a'\n")
    assert run_tool(tmp_path, "cnf", "abc.cfg").stdout.splitlines() == [
        "-1  _AUX1 -> 'a'",
        "-1  _AUX2 -> 'b'",
        "-1  _AUX3 -> _AUX1 S",
        " 0  S -> _AUX3 _AUX2",
        " 1  S -> _AUX1 _AUX2",
        " 2  S -> 'a'",
    ]


@pytest.mark.parametrize(
    "files, args, message",
    [
        ({}, ["score", "missing.cfg", "c.txt"], "missing.cfg: no such file"),
        ({"g.cfg": ANBN}, ["score", "g.cfg", "missing.txt"], "missing.txt: no such file"),
        ({}, ["induce", "--train", "missing.txt"], "missing.txt: no such file"),
        ({"t.txt": b"ab\nab\xff\n"}, ["induce", "--train", "t.txt"], "t.txt:2: not valid UTF-8 (byte 0xff at byte 3)"),
        ({"g.cfg": b"S -> 'a'\nS -> '\xe9'\n"}, ["cnf", "g.cfg"], "g.cfg:2: not valid UTF-8 (byte 0xe9 at byte 7)"),
        ({"g.cfg": "S -> 'a'\n\nS 'b'\n"}, ["cnf", "g.cfg"], "g.cfg:3: malformed production: expected '->' after S, found \"'b'\""),
        ({"g.cfg": "S -> 'a' |\n", "s.txt": "a"}, ["parse", "g.cfg", "a", "--file", "s.txt"], "give the string either on the command line or with --file, not both"),
        ({"g.cfg": ANBN, "s.txt": b"a\xffb\n"}, ["parse", "g.cfg", "--file", "s.txt"], "s.txt: not valid UTF-8 (byte 0xff at byte 2)"),
        ({"g.cfg": ANBN, "c.txt": "\n\n"}, ["score", "g.cfg", "c.txt"], "c.txt: empty corpus: no non-blank lines"),
        ({"t.txt": ""}, ["induce", "--train", "t.txt"], "t.txt: empty corpus: no non-blank lines"),
        ({"g.cfg": ANBN}, ["parse", "g.cfg", "ab", "--start", "T"], "g.cfg: no production has the start symbol T (from --start) on its left"),
    ],
)
def test_bad_input_gets_one_line_and_exit_code_2(tmp_path, files, args, message):
    for name, content in files.items():
        write(tmp_path, name, content)
    result = run_tool(tmp_path, *args)
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"grammar-engine: {message}\n")


# Standard input, output formats and the process around the engine ------------

BRACKETS = "S -> '(' S ')' | '(' ')' | S S\n"


def run_with_input(cwd: Path, stdin: str, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "grammar_engine", *args],
        cwd=cwd,
        env=ENV,
        input=stdin,
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=120,
    )


@needs_engine
def test_standard_input_for_corpora_and_strings(tmp_path):
    write(tmp_path, "g.cfg", ANBN)
    from_file = run_tool(tmp_path, "score", "g.cfg", write(tmp_path, "c.txt", "ab\naabb\nba\n"))
    from_stdin = run_with_input(tmp_path, "ab\naabb\nba\n", "score", "g.cfg", "-")
    assert from_stdin.returncode == 0, from_stdin.stderr
    assert from_stdin.stdout == from_file.stdout.replace("c.txt", "standard input")
    induced = run_with_input(tmp_path, "ab\naabb\naaabbb\nab\naab\n", "induce", "--train", "-", "--test", "c.txt")
    assert induced.stdout.startswith("training: standard input, 5 lines\ntest: c.txt, 3 lines\n")
    # parse: the string from standard input or --file, one trailing line break dropped.
    assert run_with_input(tmp_path, "aabb\n", "parse", "g.cfg", "--format", "bracket").stdout == "(S a (S a b) b)\n"
    write(tmp_path, "s.txt", "ab\r\n")
    assert run_tool(tmp_path, "parse", "g.cfg", "--file", "s.txt", "--format", "bracket").stdout == "(S a b)\n"
    both = run_with_input(tmp_path, "x", "induce", "--train", "-", "--test", "-")
    assert both.returncode == 2 and "only one of" in both.stderr


@needs_engine
def test_parse_formats(tmp_path):
    write(tmp_path, "g.cfg", ANBN)
    outputs = {
        form: run_tool(tmp_path, "parse", "g.cfg", "aabb", "--format", form).stdout
        for form in ("pretty", "bracket", "dot", "json")
    }
    assert outputs["pretty"] == run_tool(tmp_path, "parse", "g.cfg", "aabb").stdout
    assert outputs["pretty"].startswith("S\n├── 'a'\n├── S\n")
    assert outputs["bracket"] == "(S a (S a b) b)\n"
    assert outputs["dot"] == run_tool(tmp_path, "parse", "g.cfg", "aabb", "--dot").stdout
    assert outputs["dot"].startswith("digraph")
    assert json.loads(outputs["json"]) == {
        "label": "S",
        "children": ["a", {"label": "S", "children": ["a", "b"]}, "b"],
    }
    # A deep tree would draw quadratically many characters: the default is then
    # the bracketed form, which grows with the tree.
    depth = 500
    write(tmp_path, "b.cfg", BRACKETS)
    deep = run_tool(tmp_path, "parse", "b.cfg", "(" * depth + ")" * depth)
    assert deep.returncode == 0
    assert deep.stdout.startswith('(S "(" (S "(" ') and len(deep.stdout) < 20 * depth
    assert "bracketed form" in deep.stderr
    as_json = run_tool(tmp_path, "parse", "b.cfg", "(" * depth + ")" * depth, "--format", "json")
    assert json.loads(as_json.stdout)["label"] == "S"


def test_version():
    import grammar_engine

    result = run_tool(Path.cwd(), "--version")
    assert (result.returncode, result.stdout) == (0, f"grammar-engine {grammar_engine.__version__}\n")


def _catches_sigint(pid: int) -> bool:
    """Whether the process has a handler for SIGINT (Linux: the SigCgt mask)."""
    import signal

    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("SigCgt:"):
                return bool(int(line.split()[1], 16) >> (signal.SIGINT - 1) & 1)
    raise AssertionError("no SigCgt line")


@needs_engine
@interruptible
@pytest.mark.skipif(not Path("/proc/self/status").exists(), reason="needs /proc")
def test_ctrl_c_ends_a_long_parse_at_once(tmp_path):
    import signal
    import time

    write(tmp_path, "b.cfg", BRACKETS)
    write(tmp_path, "long.txt", "()" * 12000)  # many seconds of parsing
    process = subprocess.Popen(
        [sys.executable, "-m", "grammar_engine", "parse", "b.cfg", "--file", "long.txt"],
        cwd=tmp_path,
        env=ENV,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )
    try:
        # Python catches SIGINT once it has started; the tool hands it back to
        # the default action while the engine runs. Interrupt it then.
        deadline = time.monotonic() + 60
        seen_handler = False
        while time.monotonic() < deadline and process.poll() is None:
            catches = _catches_sigint(process.pid)
            seen_handler = seen_handler or catches
            if seen_handler and not catches:
                break
            time.sleep(0.01)
        assert process.poll() is None, "the parse ended before it could be interrupted"
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        code = process.wait(timeout=10)
        assert time.monotonic() - sent < 1.0
    finally:
        process.kill()
        process.wait()
    # Ended by the signal, which a shell reports as status 130.
    assert (code, process.stderr.read()) == (-signal.SIGINT, b"")


@needs_engine
def test_a_tool_started_with_ctrl_c_ignored_keeps_ignoring_it(tmp_path):
    # As under nohup, or as a background job of a script: Ctrl-C is not the
    # tool's to take, not even while the engine runs.
    import signal
    import time

    write(tmp_path, "b.cfg", BRACKETS)
    write(tmp_path, "long.txt", "()" * 3000)
    process = subprocess.Popen(
        [sys.executable, "-m", "grammar_engine", "parse", "b.cfg", "--file", "long.txt", "--format", "bracket"],
        cwd=tmp_path,
        env=ENV,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN),
    )
    try:
        while process.poll() is None:
            process.send_signal(signal.SIGINT)
            time.sleep(0.02)
        out, err = process.communicate(timeout=60)
    finally:
        process.kill()
        process.wait()
    assert (process.returncode, err) == (0, b"")
    assert out.startswith(b"(S")


@needs_engine
def test_closed_pipe_ends_quietly(tmp_path):
    depth = 600
    write(tmp_path, "b.cfg", BRACKETS)
    process = subprocess.Popen(
        [sys.executable, "-m", "grammar_engine", "parse", "b.cfg", "(" * depth + ")" * depth, "--format", "pretty"],
        cwd=tmp_path,
        env=ENV,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert process.stdout.read(10) == "S\n├── '('".encode()[:10]
    process.stdout.close()
    code = process.wait(timeout=60)
    assert (code, process.stderr.read()) == (141, b"")


@needs_engine
def test_hopeless_lines_are_refused_unless_forced(tmp_path):
    # Brackets side by side make most spans of "()()..." derivable: a million
    # characters would need far more memory than any machine and months.
    write(tmp_path, "b.cfg", BRACKETS)
    write(tmp_path, "huge.txt", "()" * 500_000 + "\n")
    refused = run_tool(tmp_path, "parse", "b.cfg", "--file", "huge.txt")
    assert (refused.returncode, refused.stdout) == (2, "")
    assert "1,000,000 characters" in refused.stderr and "--force" in refused.stderr
    assert "for sure" in refused.stderr and "days" in refused.stderr
    scored = run_tool(tmp_path, "score", "b.cfg", "huge.txt")
    assert scored.returncode == 2 and "--force" in scored.stderr
    induced = run_tool(tmp_path, "induce", "--train", "huge.txt", "--test", "huge.txt")
    assert induced.returncode == 2 and "--force" in induced.stderr


# Nested lists: one derivation per text, so only spans of whole values are stored.
LISTS = "V -> '[' E ']' | '[' ']' | 'n'\nE -> V | V ',' E\n"


@needs_engine
def test_long_low_ambiguity_lines_are_parsed(tmp_path):
    write(tmp_path, "lists.cfg", LISTS)
    write(tmp_path, "lists.txt", "[" + ",".join(["[n,[n,n],[]]"] * 2_000) + "]\n")
    parsed = run_tool(tmp_path, "score", "lists.cfg", "lists.txt", "--normalize")
    assert parsed.returncode == 0 and "lines parsed: 1 of 1 (100.0%)" in parsed.stdout
    # Deep nesting, a^n b^n: the worst case takes hours, but it is within memory.
    write(tmp_path, "b.cfg", BRACKETS)
    write(tmp_path, "deep.txt", "(" * 60_000 + ")" * 60_000 + "\n")
    deep = run_tool(tmp_path, "score", "b.cfg", "deep.txt")
    assert deep.returncode == 0 and "lines parsed: 1 of 1 (100.0%)" in deep.stdout
    assert "note: a string of 120,000 characters" in deep.stderr and "--force" not in deep.stderr


@needs_engine
def test_induce_shows_forty_productions_unless_all(tmp_path):
    # Pairs of 60 characters: the chain candidate wins, with a rule per character.
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRTUVWXYZ0123456789"
    lines = [letters[i % 60] + letters[(i * 7 + 3) % 60] for i in range(300)]
    write(tmp_path, "t.txt", "\n".join(lines) + "\n")
    short = run_tool(tmp_path, "induce", "--train", "t.txt", "--grammar-out", "g.cfg")
    assert short.returncode == 0, short.stderr
    listed = [line for line in short.stdout.splitlines() if line.startswith("  ")]
    total = int(short.stdout.split("grammar (")[1].split(" ")[0])
    assert total > 40 and len(listed) == 41
    assert listed[-1] == f"  ... and {total - 40} more (--all prints them, --grammar-out writes them)"
    full = run_tool(tmp_path, "induce", "--train", "t.txt", "--all")
    assert len([line for line in full.stdout.splitlines() if line.startswith("  ")]) == total
    written = [line for line in (tmp_path / "g.cfg").read_text(encoding="utf-8").splitlines() if "->" in line]
    assert len(written) == total


@needs_engine
def test_score_normalize_and_warnings_on_standard_error(tmp_path):
    write(tmp_path, "g.cfg", "S -> A 'b' | A\nA -> 'a'\n")
    write(tmp_path, "c.txt", "ab\na\n")
    written = run_tool(tmp_path, "score", "g.cfg", "c.txt")
    assert written.returncode == 0
    assert "lines parsed: 1 of 2 (50.0%)" in written.stdout
    assert "grammar-engine: warning: 1 production can never apply" in written.stderr
    normalised = run_tool(tmp_path, "score", "g.cfg", "c.txt", "--normalize")
    assert "lines parsed: 2 of 2 (100.0%)" in normalised.stdout
    assert "normalised equivalent" in normalised.stderr


@pytest.mark.skipif(
    importlib.util.find_spec("grammar_engine.deep_induction") is not None,
    reason="the deep method is installed",
)
def test_induce_deep_without_the_method(tmp_path):
    result = run_tool(tmp_path, "induce", "--deep")
    assert result.returncode == 2
    assert "deep induction method is not available" in result.stderr


@needs_engine
def test_grammar_out_dash_is_standard_output_and_test_share_with_test_warns(tmp_path):
    write(tmp_path, "t.txt", "ab\naabb\nab\naaabbb\naabb\n")
    result = run_tool(tmp_path, "induce", "--train", "t.txt", "--grammar-out", "-")
    assert result.returncode == 0 and not (tmp_path / "-").exists()
    # Standard output is the grammar file alone; the summary is on standard error.
    assert Grammar.from_string(result.stdout).productions
    assert "test lines parsed" in result.stderr and "test lines parsed" not in result.stdout
    shared = run_tool(tmp_path, "induce", "--train", "t.txt", "--test", "t.txt", "--test-share", "0.5")
    assert shared.returncode == 0 and "--test-share is ignored" in shared.stderr
    plain = run_tool(tmp_path, "induce", "--train", "t.txt", "--test", "t.txt")
    assert "--test-share" not in plain.stderr
