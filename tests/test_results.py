"""Results that mean what they say, from the API and the command line: nothing lost,
nothing rounded into a claim it cannot make, no silent gap."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

from grammar_engine import Grammar, GrammarEngineWarning, InputError, induce
from test_cli import ENV, needs_engine, run_tool, write

# Pairs of 60 characters: the chain candidate wins, with a rule per character.
LETTERS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRTUVWXYZ0123456789"
PAIRS = "\n".join(LETTERS[i % 60] + LETTERS[(i * 7 + 3) % 60] for i in range(300)) + "\n"


@needs_engine
def test_grammar_out_is_written_when_the_reader_goes_away(tmp_path):
    write(tmp_path, "t.txt", PAIRS)
    read_end, write_end = os.pipe()
    os.close(read_end)  # the reader is gone before the first line
    try:
        result = subprocess.run(
            [sys.executable, "-m", "grammar_engine", "induce", "--train", "t.txt", "--all", "--grammar-out", "g.cfg"],
            cwd=tmp_path,
            env={**ENV, "PYTHONUNBUFFERED": "1"},
            stdout=write_end,
            stderr=subprocess.PIPE,
            timeout=120,
        )
    finally:
        os.close(write_end)
    assert result.returncode == 141, result.stderr
    written = (tmp_path / "g.cfg").read_text(encoding="utf-8")
    assert written.startswith("# Induced by") and "S -> 'a'" in written


@needs_engine
def test_a_grammar_that_cannot_be_written_still_shows_the_result(tmp_path):
    # The wrap candidate encloses S in "[" "]", which --alphabet leaves out, so
    # the grammar names them as nonterminals, which a file cannot hold.
    result = run_tool(tmp_path, "induce", "--alphabet", "()", "--grammar-out", "g.cfg")
    assert result.returncode == 2
    assert "bits per byte:" in result.stdout
    assert "g.cfg: cannot write the grammar" in result.stderr
    assert not (tmp_path / "g.cfg").exists()


@needs_engine
def test_induction_warns_about_symbols_outside_the_alphabet():
    train = ["[]", "[[]]", "[][]", "()", "[[][]]", "(())"] * 5
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", GrammarEngineWarning)
        result = induce(train, alphabet="()")
        plain = induce(train)
    assert result.grammar is not None
    stuck = [p for p in result.grammar.productions if "[" in p[1]]
    assert stuck, "the candidate no longer encloses S in brackets outside the alphabet"
    message = next(m for m in result.warnings if "leaves out" in m)
    assert "'[', ']'" in message and f"keep {len(stuck)} production" in message
    assert message in [str(w.message) for w in caught]
    # With every character in the alphabet there is nothing to say.
    assert not any("leaves out" in m for m in plain.warnings)


@needs_engine
def test_coverage_is_100_or_0_percent_only_when_it_is(tmp_path):
    write(tmp_path, "g.cfg", "S -> 'a' S | 'a'\n")
    write(tmp_path, "most.txt", "a\n" * 2000 + "b\n")
    write(tmp_path, "few.txt", "a\n" + "b\n" * 2000)
    assert "lines parsed: 2000 of 2001 (99.95%)" in run_tool(tmp_path, "score", "g.cfg", "most.txt").stdout
    assert "lines parsed: 1 of 2001 (0.05%)" in run_tool(tmp_path, "score", "g.cfg", "few.txt").stdout
    write(tmp_path, "some.txt", "a\nb\nc\n")
    assert "lines parsed: 1 of 3 (33.3%)" in run_tool(tmp_path, "score", "g.cfg", "some.txt").stdout


@needs_engine
def test_induce_json_tells_the_terminal_s_from_the_nonterminal(tmp_path):
    write(tmp_path, "t.txt", "SSxx\nSx\nS\nSSSxxx\nSxSx\n")
    result = json.loads(run_tool(tmp_path, "induce", "--train", "t.txt", "--json").stdout)
    assert ["S", ["S", "S", "x"]] in result["productions"]
    assert "S -> 'S' S 'x'" in result["notation"] and "S -> S S" in result["notation"]


@needs_engine
def test_a_test_share_past_two_thirds_says_what_is_held_out():
    lines = ["ab", "aabb", "ba"] * 10
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always", GrammarEngineWarning)
        large = induce(lines, test_share=0.9)
        half = induce(lines, test_share=0.5)
    assert large.test_lines == half.test_lines == 15
    assert any("every second line" in m for m in large.warnings)
    assert not any("every second line" in m for m in half.warnings)


@needs_engine
def test_corpus_text_that_the_engine_cannot_take_is_refused_clearly():
    text = "ab\naabb\n" * 10_000
    with pytest.raises(InputError, match=r"StringIO") as raised:
        Grammar.from_string("S -> 'a' S 'b' | 'a' 'b'").score(text)
    assert len(str(raised.value)) < 200
    with pytest.raises(InputError, match=r"StringIO"):
        induce(text)
    # Lines read with errors="surrogateescape": the line is named, not left to the engine.
    with pytest.raises(InputError, match=r"<lines>:2: .*surrogate.* at character 2"):
        induce(["ab", "a\udcffb", "abab"])


@needs_engine
def test_no_parse_names_the_characters_no_terminal_matches(tmp_path):
    write(tmp_path, "g.cfg", "S -> NP 'saw' NP\nNP -> 'I' | 'you'\n")
    spaced = run_tool(tmp_path, "parse", "g.cfg", "I saw you")
    assert (spaced.returncode, spaced.stdout) == (1, "no parse\n")
    assert "no terminal of the grammar matches ' ' of the string" in spaced.stderr
    # Every character is some terminal's: no note, just the answer.
    wrong_order = run_tool(tmp_path, "parse", "g.cfg", "sawIyou")
    assert (wrong_order.returncode, wrong_order.stdout, wrong_order.stderr) == (1, "no parse\n", "")
    assert run_tool(tmp_path, "parse", "g.cfg", "Isawyou").returncode == 0
    # A misspelt name leaves a nonterminal undefined: said when nothing parses.
    write(tmp_path, "typo.cfg", "S -> NP 'saw' Np\nNP -> 'I' | 'you'\n")
    typo = run_tool(tmp_path, "parse", "typo.cfg", "Isawyou")
    assert typo.returncode == 1 and "the nonterminal Np is used but never defined" in typo.stderr


@needs_engine
def test_a_grammar_with_any_character_reads_back_from_its_text():
    # A form feed, U+2028 and the like end a line for str.splitlines, not in a file.
    lines = ["ab\x0cab", "a\u2028b", "a\x85b", "a\x1cb", "abab"] * 4
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", GrammarEngineWarning)
        grammar = induce(lines).grammar
    assert grammar is not None and "\u2028" in grammar.terminals
    assert Grammar.from_string(str(grammar)) == grammar
    assert Grammar.from_string(str(grammar).replace("\n", "\r\n")) == grammar


@needs_engine
def test_a_large_grammar_names_some_inapplicable_productions_and_counts_the_rest():
    # A textbook chain of unit productions, 500 long: none applies as written.
    text = "".join(f"A{i} -> A{i + 1}\n" for i in range(500)) + "A500 -> 'a' 'a'\n"
    grammar = Grammar.from_string(text)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", GrammarEngineWarning)
        score = grammar.score(["aa"])
        normalised = grammar.score(["aa"], normalize=True)
    (message,) = [m for m in score.warnings if "can never apply" in m]
    # A500 too, which no parse reaches as written.
    assert message.startswith("501 productions can never apply")
    assert "A0 -> A1 (unit production)" in message and "and 481 more" in message
    assert len(message) < 2_000
    assert normalised.lines_parsed == 1


@needs_engine
@pytest.mark.skipif(not Path("/dev/full").exists(), reason="needs /dev/full")
@pytest.mark.parametrize("unbuffered", ["1", ""])
def test_output_that_cannot_be_written_is_an_error_not_no_result(tmp_path, unbuffered):
    write(tmp_path, "g.cfg", "S -> 'a' S 'b' | 'a' 'b'\n")
    with open("/dev/full", "w") as full:
        result = subprocess.run(
            [sys.executable, "-m", "grammar_engine", "parse", "g.cfg", "aabb"],
            cwd=tmp_path,
            env={**ENV, "PYTHONUNBUFFERED": unbuffered},
            stdout=full,
            stderr=subprocess.PIPE,
            text=True,
            timeout=120,
        )
    assert result.returncode == 2
    assert result.stderr == "grammar-engine: cannot write to standard output: No space left on device\n"


def test_an_alphabet_argument_that_is_not_utf8_is_bad_input(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "grammar_engine", "induce", "--alphabet", b"()\xff"],
        cwd=tmp_path,
        env=ENV,
        capture_output=True,
        timeout=120,
    )
    assert (result.returncode, result.stderr) == (2, b"grammar-engine: --alphabet is not valid UTF-8\n")
