"""The grammar-engine command: induce, score, parse and convert grammars from the shell.

Exit status: 0 on success, 1 when there is no result (the string does not parse,
or no grammar was chosen to write), 2 for bad input or a failure of the engine.
Bad input gets one line on standard error naming the file and line, never a
traceback.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from typing import Callable, Sequence

from .corpus import (
    DEFAULT_CORPUS_NAME,
    alphabet_of,
    default_corpus,
    read_corpus,
    split_train_test,
)
from .derivation import (
    TreeMismatch,
    rebuild_tree,
    render_dot,
    render_tag_list,
    render_tag_list_dot,
    render_text,
)
from .errors import InputError
from .grammar_file import Grammar, Production, format_grammar, format_production, read_grammar

PROG = "grammar-engine"
EXIT_OK = 0
EXIT_NO_RESULT = 1
EXIT_ERROR = 2


class EngineError(Exception):
    """The native module is missing, lacks a function, or failed inside."""


def main(argv: Sequence[str] | None = None) -> int:
    _tolerate_unencodable_output()
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except InputError as error:
        return _fail(str(error))
    except EngineError as error:
        return _fail(str(error))
    except MemoryError:
        return _fail("out of memory: the input is too large for the engine")
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (for example `| head`); say nothing more.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_NO_RESULT
    except BaseException as error:
        # The engine reports internal faults with an exception type that derives
        # from BaseException and is not importable; recognise it by name.
        if type(error).__name__ == "PanicException":
            return _fail(f"internal error in the engine: {error}")
        raise


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Induce context-free grammars from text, score them, and parse with them.",
        epilog="Grammar files use NLTK's notation: S -> 'a' S 'b' | 'a' 'b'. "
        "Exit status: 0 success, 1 no parse or no grammar chosen, 2 bad input or engine failure.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    induce = commands.add_parser(
        "induce",
        help="induce a grammar from a corpus (one string per line)",
        description="Induce a grammar from training lines and score it on test lines. "
        "Without files it uses the default corpus shipped with the package (balanced "
        "brackets). Without --test, every fourth line of the training corpus is held "
        "out for testing.",
    )
    induce.add_argument("--train", metavar="FILE", help="training corpus, one string per line")
    induce.add_argument("--test", metavar="FILE", help="test corpus, one string per line")
    induce.add_argument(
        "--alphabet",
        metavar="CHARS",
        help="the terminal characters (default: the characters of the training lines)",
    )
    induce.add_argument("--json", action="store_true", help="print the result as JSON")
    induce.add_argument(
        "--grammar-out", metavar="FILE", help="also write the grammar to FILE as a grammar file"
    )
    induce.set_defaults(run=run_induce)

    score = commands.add_parser(
        "score",
        help="score a grammar on a corpus in bits per character",
        description="Score a grammar file on a corpus file by description length.",
    )
    score.add_argument("grammar", metavar="GRAMMAR", help="grammar file")
    score.add_argument("corpus", metavar="CORPUS", help="corpus file, one string per line")
    score.add_argument("--start", metavar="S", help="start symbol (default: the first left-hand side)")
    score.set_defaults(run=run_score)

    parse = commands.add_parser(
        "parse",
        help="draw the derivation of one string",
        description="Parse one string and draw its derivation over the grammar's productions.",
    )
    parse.add_argument("grammar", metavar="GRAMMAR", help="grammar file")
    parse.add_argument("string", metavar="STRING", help="the string to parse")
    parse.add_argument("--start", metavar="S", help="start symbol (default: the first left-hand side)")
    parse.add_argument("--dot", action="store_true", help="print the tree as Graphviz DOT")
    parse.set_defaults(run=run_parse)

    cnf = commands.add_parser(
        "cnf",
        help="print the tagged Chomsky-normal-form rules of a grammar",
        description="Print the binarised rules of a grammar file, each with its tag: the "
        "index of the production it stands for, or -1 for a rule the conversion added.",
    )
    cnf.add_argument("grammar", metavar="GRAMMAR", help="grammar file")
    cnf.set_defaults(run=run_cnf)
    return parser


# Commands ---------------------------------------------------------------------


def run_induce(args: argparse.Namespace) -> int:
    if args.train is not None:
        source, source_name = read_corpus(args.train), args.train
    else:
        source, source_name = default_corpus(), DEFAULT_CORPUS_NAME
    if args.test is not None:
        train, test, test_name = source, read_corpus(args.test), args.test
    else:
        (train, test), test_name = split_train_test(source), source_name
    if args.alphabet is not None:
        alphabet = list(dict.fromkeys(args.alphabet))
    else:
        alphabet = alphabet_of(train)

    result = _engine_function("induce_full")(train, test, alphabet)
    strategy = result["strategy"]
    bpc = result["bpc"]
    productions: list[Production] = [(lhs, tuple(rhs)) for lhs, rhs in result["productions"]]
    terminals = frozenset(alphabet)

    if args.json:
        print(
            json.dumps(
                {
                    "strategy": strategy,
                    "bpc": bpc if math.isfinite(bpc) else None,
                    "grammar": list(result["grammar"]),
                    "productions": [[lhs, list(rhs)] for lhs, rhs in productions],
                },
                ensure_ascii=False,
            )
        )
    else:
        print(f"training: {source_name}, {_count(len(train), 'line')}")
        print(f"test: {test_name}, {_count(len(test), 'line')}")
        if strategy:
            print(f"strategy: {strategy}")
        else:
            print("strategy: none (no candidate reached a finite score on the test lines)")
        print(f"bits per character: {_number(bpc, 4)}")
        print(f"grammar ({_count(len(productions), 'production')}):")
        for lhs, rhs in productions:
            print("  " + _display_production(lhs, rhs, terminals))

    if args.grammar_out is not None:
        if not productions:
            _warn(f"{args.grammar_out}: not written: no grammar was chosen")
            return EXIT_NO_RESULT
        comments = [
            f"Induced by {PROG}: strategy {strategy}, {_number(bpc, 4)} bits per character",
            f"training: {source_name}, {_count(len(train), 'line')}; "
            f"test: {test_name}, {_count(len(test), 'line')}",
        ]
        try:
            text = format_grammar(productions, alphabet, "S", comments)
        except ValueError as error:
            raise InputError(f"cannot write the grammar: {error}", args.grammar_out) from None
        _write_text(args.grammar_out, text)
    return EXIT_OK


def run_score(args: argparse.Namespace) -> int:
    grammar = _load_grammar(args.grammar)
    start = _start_symbol(grammar, args.start, args.grammar)
    corpus = read_corpus(args.corpus)
    _note_long_terminals(grammar, args.grammar)
    metrics = _engine_function("grammar_bpc")(
        _engine_productions(grammar), corpus, grammar.terminal_set, start
    )
    size = sum(len(line.encode("utf-8")) for line in corpus)
    print(f"grammar: {args.grammar} ({_count(len(grammar.productions), 'production')}, start {start})")
    print(f"corpus: {args.corpus} ({_count(len(corpus), 'line')}, {_count(size, 'byte')})")
    rows = [
        ("bpc_with_lib", metrics.get("bpc_with_lib"), 4),
        ("l_library", metrics.get("l_library"), 2),
        ("l_data", metrics.get("l_data"), 2),
        ("parse_failures", metrics.get("parse_failures"), 0),
        ("total_decisions", metrics.get("total_decisions"), 0),
    ]
    cells = [(name, "-" if value is None else _number(value, decimals)) for name, value, decimals in rows]
    name_width = max(len("metric"), *(len(name) for name, _ in cells))
    value_width = max(len("value"), *(len(value) for _, value in cells))
    print(f"{'metric':<{name_width}}  {'value':>{value_width}}")
    for name, value in cells:
        print(f"{name:<{name_width}}  {value:>{value_width}}")
    return EXIT_OK


def run_parse(args: argparse.Namespace) -> int:
    grammar = _load_grammar(args.grammar)
    start = _start_symbol(grammar, args.start, args.grammar)
    text = args.string
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise InputError("the string to parse is not valid UTF-8") from None
    rules = _engine_function("to_cnf_tagged")(_engine_productions(grammar), grammar.terminal_set)
    tags = _engine_function("parse_cnf")(text, rules, start)
    if tags is None:
        print("no parse")
        _note_long_terminals(grammar, args.grammar)
        return EXIT_NO_RESULT
    try:
        tree = rebuild_tree(tags, grammar.productions, grammar.terminal_set, text, start)
    except TreeMismatch as reason:
        _warn(f"warning: the tags do not map onto the productions ({reason}); showing them as they are")
        if args.dot:
            sys.stdout.write(render_tag_list_dot(tags))
        else:
            sys.stdout.write(render_tag_list(tags, grammar.productions, grammar.terminal_set))
        return EXIT_OK
    sys.stdout.write(render_dot(tree) if args.dot else render_text(tree))
    return EXIT_OK


def run_cnf(args: argparse.Namespace) -> int:
    grammar = _load_grammar(args.grammar)
    rules = _engine_function("to_cnf_tagged")(_engine_productions(grammar), grammar.terminal_set)
    width = max((len(str(tag)) for _, _, tag in rules), default=1)
    for lhs, rhs, tag in rules:
        print(f"{tag:>{width}}  {_display_production(lhs, rhs, grammar.terminal_set)}")
    return EXIT_OK


# Helpers ----------------------------------------------------------------------


def _engine_function(name: str) -> Callable:
    try:
        import _engine
    except ImportError as error:
        message = str(error).replace("\n", " ")
        raise EngineError(f"the native module _engine cannot be loaded: {message}") from None
    function = getattr(_engine, name, None)
    if function is None:
        raise EngineError(f"this build of the native module _engine has no {name}")
    return function


def _load_grammar(path: str) -> Grammar:
    grammar = read_grammar(path)
    for symbol in grammar.ambiguous:
        _warn(
            f"warning: {path}: {symbol!r} is written both quoted and bare; "
            "the engine treats it as a terminal everywhere"
        )
    return grammar


def _note_long_terminals(grammar: Grammar, path: str) -> None:
    long_terminals = [symbol for symbol in grammar.terminals if len(symbol) != 1]
    if long_terminals:
        shown = ", ".join(repr(symbol) for symbol in long_terminals[:3])
        more = ", ..." if len(long_terminals) > 3 else ""
        _warn(
            f"note: {path}: the parser reads one character at a time, so terminals "
            f"that are not one character long never match ({shown}{more})"
        )


def _start_symbol(grammar: Grammar, option: str | None, path: str) -> str:
    if option is None:
        return grammar.start
    if option not in grammar.left_hand_sides:
        raise InputError(f"no production has the start symbol {option} (from --start) on its left", path)
    return option


def _engine_productions(grammar: Grammar) -> list[tuple[str, list[str]]]:
    return [(lhs, list(rhs)) for lhs, rhs in grammar.productions]


def _display_production(lhs: str, rhs: Sequence[str], terminals: frozenset[str]) -> str:
    try:
        return format_production(lhs, rhs, terminals)
    except ValueError:
        # A symbol that is neither a terminal nor a valid name (a character left
        # out of --alphabet, say): show it as it is.
        shown = [f"'{symbol}'" if symbol in terminals else symbol for symbol in rhs]
        return f"{lhs} -> {' '.join(shown)}"


def _write_text(path: str, text: str) -> None:
    try:
        with open(path, "w", encoding="utf-8", newline="\n") as stream:
            stream.write(text)
    except OSError as error:
        raise InputError(f"cannot write: {error.strerror or error}", path) from None


def _number(value: float, decimals: int) -> str:
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if math.isnan(value):
        return "nan"
    return f"{value:.{decimals}f}"


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}" + ("" if number == 1 else "s")


def _warn(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


def _fail(message: str) -> int:
    print(f"{PROG}: {message}", file=sys.stderr)
    return EXIT_ERROR


def _tolerate_unencodable_output() -> None:
    """Escape characters the terminal cannot show instead of failing on them."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
