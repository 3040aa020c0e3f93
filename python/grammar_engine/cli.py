"""The grammar-engine command: induce, score, parse and convert grammars from the shell.

A thin layer over the Python API: it reads arguments and files, calls `induce`,
`Grammar.score` and `Grammar.parse`, and prints their results and warnings.

Exit status: 0 on success; 1 when there is no result (the string does not parse,
or no grammar was chosen to write); 2 for bad input, a refused line, a failure of
the engine or output that cannot be written; 141 when the reader of the output
went away (a closed pipe, as with `| head`); Ctrl-C ends the tool at once, by the
interrupt signal (the shell reports 130). Bad input gets one line on standard
error naming the file and line, never a traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import itertools
import json
import math
import os
import signal
import sys
import threading
import warnings
from typing import TYPE_CHECKING, Callable, Iterator, Sequence, TypeVar

from . import diagnostics
from ._version import __version__
from .corpus import DEFAULT_CORPUS_NAME, default_corpus, read_corpus
from .errors import ChunkError, GrammarEngineWarning, InputError
from .grammar import Grammar
from .induction import Induction, induce
from .limits import LineCost, induction_cost
from .scoring import Score
from .text_lines import decode_lines
from .tree import Tree, TreeMismatch

if TYPE_CHECKING:
    from .chunk_runner import ChunkOptions

PROG = "grammar-engine"
EXIT_OK = 0
EXIT_NO_RESULT = 1
EXIT_ERROR = 2
EXIT_BROKEN_PIPE = 128 + 13  # what a shell reports for a process ended by SIGPIPE
EXIT_INTERRUPTED = 130
STDIN = "-"
STDIN_NAME = "standard input"
STDOUT = "-"
DEFAULT_TEST_SHARE = 0.25
# induce prints this many productions unless --all.
SHOWN_PRODUCTIONS = 40
# Beyond this many characters of box drawing, parse prints the bracketed form.
PRETTY_LIMIT = 1_000_000

T = TypeVar("T")


class EngineError(Exception):
    """The native module is missing, lacks a function, or failed inside."""


def main(argv: Sequence[str] | None = None) -> int:
    _tolerate_unencodable_output()
    args = build_parser().parse_args(argv)
    try:
        code: int = args.run(args)
        sys.stdout.flush()
        return code
    except InputError as error:
        return _fail(str(error))
    except EngineError as error:
        return _fail(str(error))
    except (ValueError, NotImplementedError) as error:
        return _fail(str(error))
    except MemoryError as error:
        return _fail(f"out of memory: {error or 'the input is too large for the engine'}")
    except ChunkError as error:
        return _fail(str(error))
    except ImportError as error:
        message = str(error).replace("\n", " ")
        return _fail(f"the native module _engine cannot be loaded: {message}")
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (for example `| head`); say nothing more, and keep
        # the interpreter's last flush from complaining.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except OSError as error:
        # Files are read and written with their own messages, so this is standard
        # output failing (a full disk, say): an error, not "no result", and no
        # second failure at the interpreter's last flush.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return _fail(f"cannot write to standard output: {error.strerror or error}")
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
        epilog="Grammar files use NLTK's notation: S -> 'a' S 'b' | 'a' 'b'. A corpus "
        "file holds one string per line; '-' reads it from standard input. Exit status: "
        "0 success, 1 no parse or no grammar chosen, 2 bad input, refused line, engine "
        "failure or unwritable output, 141 closed output pipe.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    induce_ = commands.add_parser(
        "induce",
        help="induce a grammar from a corpus (one string per line)",
        description="Induce a grammar from training lines and score it on test lines in "
        "bits per byte. Without files it uses the default corpus shipped with the package "
        "(balanced brackets). Without --test, every fourth line of the training corpus is "
        "held out for testing (at least one line).",
    )
    induce_.add_argument("--train", metavar="FILE", help="training corpus, one string per line ('-': standard input)")
    induce_.add_argument("--test", metavar="FILE", help="test corpus, one string per line ('-': standard input)")
    induce_.add_argument(
        "--alphabet",
        metavar="CHARS",
        help="the terminal characters (default: the characters of the training lines)",
    )
    induce_.add_argument(
        "--test-share",
        metavar="SHARE",
        type=float,
        help="share of the training lines held out for testing without --test (default 0.25: every fourth line)",
    )
    induce_.add_argument("--deep", action="store_true", help="the deep method: phrases found by merging pairs, kept where they lower the held-out score")
    induce_.add_argument("--json", action="store_true", help="print the result as JSON")
    induce_.add_argument("--all", action="store_true", help=f"print every production (default: at most {SHOWN_PRODUCTIONS})")
    induce_.add_argument(
        "--grammar-out",
        metavar="FILE",
        help="also write the whole grammar to FILE as a grammar file ('-': standard output, before the summary)",
    )
    induce_.add_argument("--force", action="store_true", help="run even on lines estimated too long")
    _add_chunk_options(induce_)
    induce_.set_defaults(run=run_induce)

    score = commands.add_parser(
        "score",
        help="score a grammar on a corpus in bits per byte",
        description="Score a grammar file on a corpus file by description length, in bits "
        "per byte of corpus text. By default the grammar is scored as the engine reads it "
        "(productions that can never apply are named in a warning); --normalize scores "
        "its normalised equivalent, where unit and empty productions apply.",
    )
    score.add_argument("grammar", metavar="GRAMMAR", help="grammar file")
    score.add_argument("corpus", metavar="CORPUS", help="corpus file, one string per line ('-': standard input)")
    score.add_argument("--start", metavar="S", help="start symbol (default: the first left-hand side)")
    score.add_argument("--normalize", action="store_true", help="score the normalised equivalent of the grammar")
    score.add_argument("--force", action="store_true", help="score even lines estimated too long")
    _add_chunk_options(score)
    score.set_defaults(run=run_score)

    parse = commands.add_parser(
        "parse",
        help="draw the derivation of one string",
        description="Parse one string and draw its derivation over the grammar's productions. "
        "The string comes from the command line, from --file, or else from standard input "
        "(one trailing line break dropped).",
    )
    parse.add_argument("grammar", metavar="GRAMMAR", help="grammar file")
    parse.add_argument("string", metavar="STRING", nargs="?", help="the string to parse")
    parse.add_argument("--file", metavar="FILE", help="read the string from FILE ('-': standard input)")
    parse.add_argument("--start", metavar="S", help="start symbol (default: the first left-hand side)")
    parse.add_argument(
        "--format",
        choices=("pretty", "bracket", "dot", "json"),
        help="pretty: box drawing (the default, unless the drawing would be huge); "
        "bracket: one line, (S a (S a b) b); dot: Graphviz; json: nested objects",
    )
    parse.add_argument("--dot", dest="format", action="store_const", const="dot", help="the same as --format dot")
    parse.add_argument("--force", action="store_true", help="parse even a string estimated too long")
    parse.set_defaults(run=run_parse)

    cnf = commands.add_parser(
        "cnf",
        help="print the tagged Chomsky-normal-form rules of a grammar",
        description="Print the binarised rules of a grammar file, each with its tag: the "
        "index of the production it stands for, or -1 for a rule the conversion added.",
    )
    cnf.add_argument("grammar", metavar="GRAMMAR", help="grammar file")
    cnf.add_argument("--normalize", action="store_true", help="convert the normalised equivalent")
    cnf.set_defaults(run=run_cnf)
    return parser


# Commands ---------------------------------------------------------------------


def run_induce(args: argparse.Namespace) -> int:
    if args.train == STDIN and args.test == STDIN:
        raise InputError("standard input can hold only one of --train and --test")
    if args.alphabet is not None:
        _check_utf8(args.alphabet, "--alphabet")
    if args.test is not None and args.test_share is not None:
        _warn("warning: --test-share is ignored: --test gives the test lines")
    chunked = _chunked(args)
    if args.train is not None:
        source, source_name = _corpus_argument(args.train, chunked), _name(args.train)
    else:
        source, source_name = default_corpus(), DEFAULT_CORPUS_NAME
    test = _corpus_argument(args.test, chunked) if args.test is not None else None
    test_name = _name(args.test) if args.test is not None else source_name
    if not args.force and not chunked:
        longest = max(map(len, itertools.chain(source, test or [])))
        _refuse_if_costly(induction_cost(longest, source))
    show_progress = args.deep and sys.stderr.isatty()
    with _chunk_options(args) as options:
        result = _call(
            lambda: induce(
                source,
                test,
                args.alphabet,
                test_share=DEFAULT_TEST_SHARE if args.test_share is None else args.test_share,
                method="deep" if args.deep else "engine",
                progress=_progress_line() if show_progress else None,
                **options,
            ),
            at_once=not chunked,
        )
    if show_progress:
        print(file=sys.stderr)
    grammar = result.grammar

    # The file first: a reader of the summary that stops early (`| head`) must not cost it.
    not_written: InputError | None = None
    if args.grammar_out is not None and grammar is not None:
        comments = [
            f"Induced by {PROG} {__version__}: strategy {result.strategy}, "
            f"{_number(result.bpc, 4)} bits per byte on the test lines",
            f"training: {source_name}, {_count(result.train_lines, 'line')}; "
            f"test: {test_name}, {_count(result.test_lines, 'line')}",
        ]
        try:
            _write_text(args.grammar_out, grammar.to_string(comments))
        except InputError as error:
            not_written = error
        except ValueError as error:
            not_written = InputError(f"cannot write the grammar: {error}", args.grammar_out)

    # With the grammar on standard output, the summary goes to standard error, so that
    # standard output is a grammar file as it stands.
    summary = sys.stderr if args.grammar_out == STDOUT else sys.stdout
    with contextlib.redirect_stdout(summary):
        if args.json:
            print(json.dumps(_induction_json(result), ensure_ascii=False))
        else:
            _print_induction(result, source_name, test_name, args.all)

    if not_written is not None:
        raise not_written
    if args.grammar_out is not None and grammar is None:
        target = "standard output" if args.grammar_out == STDOUT else args.grammar_out
        _warn(f"{target}: not written: no grammar was chosen")
        return EXIT_NO_RESULT
    return EXIT_OK


def _print_induction(result: Induction, train_name: str, test_name: str, show_all: bool) -> None:
    print(f"training: {train_name}, {_count(result.train_lines, 'line')}")
    print(f"test: {test_name}, {_count(result.test_lines, 'line')}")
    if result.strategy:
        print(f"strategy: {result.strategy}")
    else:
        print("strategy: none (no candidate reached a finite score on the test lines)")
    print(f"bits per byte: {_number(result.bpc, 4)}")
    print(f"test lines parsed: {_share(result.test_lines_parsed, result.test_lines)}")
    productions = result.grammar.productions if result.grammar is not None else ()
    print(f"grammar ({_count(len(productions), 'production')}):")
    shown = len(productions) if show_all else min(len(productions), SHOWN_PRODUCTIONS)
    for index in range(shown):
        assert result.grammar is not None
        print("  " + result.grammar.production_text(index))
    if shown < len(productions):
        print(f"  ... and {len(productions) - shown} more (--all prints them, --grammar-out writes them)")


def _induction_json(result: Induction) -> dict[str, object]:
    grammar = result.grammar
    productions = grammar.productions if grammar is not None else ()
    return {
        "strategy": result.strategy,
        "bpc": result.bpc if math.isfinite(result.bpc) else None,
        "grammar": [lhs + "->" + "".join(rhs) for lhs, rhs in productions],
        "productions": [[lhs, list(rhs)] for lhs, rhs in productions],
        # The two lists above cannot tell a terminal 'S' from the nonterminal S; this can.
        "notation": [grammar.production_text(i) for i in range(len(productions))] if grammar else [],
        "test_lines": result.test_lines,
        "test_lines_parsed": result.test_lines_parsed,
        "warnings": list(result.warnings),
    }


def run_score(args: argparse.Namespace) -> int:
    grammar = _load_grammar(args.grammar, args.start)
    chunked = _chunked(args)
    corpus = _corpus_argument(args.corpus, chunked)
    if not args.force and not chunked:
        _refuse_if_costly(grammar.parse_cost(max(map(len, corpus)), normalize=args.normalize))
    with _chunk_options(args) as options:
        result: Score = _call(
            lambda: grammar.score(corpus, normalize=args.normalize, **options), at_once=not chunked
        )
    print(f"grammar: {args.grammar} ({_count(len(grammar.productions), 'production')}, start {grammar.start})")
    print(f"corpus: {_name(args.corpus)} ({_count(result.lines, 'line')}, {_count(result.bytes, 'byte')})")
    rows = [
        ("bpc_with_lib", _number(result.bpc_with_lib, 4)),
        ("l_library", _number(result.l_library, 2)),
        ("l_data", _number(result.l_data, 2)),
        ("parse_failures", str(result.parse_failures)),
        ("total_decisions", str(result.total_decisions)),
    ]
    name_width = max(len("metric"), *(len(name) for name, _ in rows))
    value_width = max(len("value"), *(len(value) for _, value in rows))
    print(f"{'metric':<{name_width}}  {'value':>{value_width}}")
    for name, value in rows:
        print(f"{name:<{name_width}}  {value:>{value_width}}")
    print(f"lines parsed: {_share(result.lines_parsed, result.lines)}")
    return EXIT_OK


def run_parse(args: argparse.Namespace) -> int:
    grammar = _load_grammar(args.grammar, args.start)
    text = _string_to_parse(args)
    if not args.force:
        _refuse_if_costly(grammar.parse_cost(len(text)))
    tree = _call(lambda: grammar.parse(text))
    if tree is None:
        print("no parse")
        terminals = grammar.cnf_terminals(True)
        unmatched = list(dict.fromkeys(char for char in text if char not in terminals))
        if unmatched:
            # The parser reads characters: a word grammar's spaces are the usual cause.
            shown = ", ".join(map(repr, unmatched[:8])) + (", ..." if len(unmatched) > 8 else "")
            _warn(f"note: no terminal of the grammar matches {shown} of the string")
        # A name misspelt on a right-hand side is another usual cause.
        for message in diagnostics.undefined_warnings(grammar):
            _warn(f"warning: {message}")
        return EXIT_NO_RESULT
    form = args.format
    if form is None:
        form = "pretty"
        if _pretty_size(tree) > PRETTY_LIMIT:
            form = "bracket"
            _warn("note: the drawing of this tree would be huge; printing the bracketed form (--format pretty forces the drawing)")
    if form == "pretty":
        _write_out(tree.pretty())
    elif form == "bracket":
        _write_out(tree.bracketed() + "\n")
    elif form == "dot":
        _write_out(tree.to_dot())
    else:
        _write_out(_tree_json(tree) + "\n")
    return EXIT_OK


def run_cnf(args: argparse.Namespace) -> int:
    grammar = Grammar.from_file(args.grammar)
    rules = _call(lambda: grammar.cnf(normalize=args.normalize))
    terminals = grammar.cnf_terminals(args.normalize)
    names = grammar.cnf_names(args.normalize)
    width = max((len(str(tag)) for _, _, tag in rules), default=1)
    for lhs, rhs, tag in rules:
        print(f"{tag:>{width}}  {_display_rule(lhs, rhs, terminals, names)}")
    return EXIT_OK


# Helpers ----------------------------------------------------------------------


def _call(work: Callable[[], T], *, at_once: bool = True) -> T:
    """Run an API call: its warnings go to standard error, Ctrl-C ends the process at once.

    The engine holds the interpreter for the whole call and never looks at
    signals, so a Python handler would run only once the call returns. The
    interrupt signal therefore gets its default action for the call's length.
    A chunked run (`at_once` false) returns to Python after every chunk: there
    Ctrl-C raises KeyboardInterrupt, which stops the workers on its way out.
    """
    interrupt = _interrupt_ends_process() if at_once else contextlib.nullcontext()
    with warnings.catch_warnings(record=True) as caught, interrupt:
        warnings.simplefilter("always", GrammarEngineWarning)
        result = work()
    for warning in caught:
        if issubclass(warning.category, GrammarEngineWarning):
            _warn(f"warning: {warning.message}")
        else:
            warnings.warn_explicit(warning.message, warning.category, warning.filename, warning.lineno)
    return result


@contextlib.contextmanager
def _interrupt_ends_process() -> Iterator[None]:
    # A process started with Ctrl-C ignored (under nohup, a script's background
    # job) keeps ignoring it.
    ignored = signal.getsignal(signal.SIGINT) is signal.SIG_IGN
    if ignored or threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_DFL)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _progress_line() -> Callable[[int, int | None, str], None]:
    """A progress report on one line of the terminal, rewritten in place."""

    def report(done: int, total: int | None, what: str) -> None:
        count = f"{done}/{total}" if total else str(done)
        print(f"\r{PROG}: {what}: {count}\033[K", end="", file=sys.stderr, flush=True)

    return report


def _refuse_if_costly(cost: LineCost) -> None:
    """Stop with an explanation before a line that cannot be held, or that may both
    outgrow memory and take hours."""
    problem = cost.problem()
    if problem is not None:
        raise InputError(f"{problem}; --force tries anyway")
    note = cost.note()
    if note is not None:
        _warn(f"note: {note}")


def _load_grammar(path: str, start: str | None) -> Grammar:
    grammar = Grammar.from_file(path)
    if start is None:
        return grammar
    if start not in grammar.nonterminals:
        raise InputError(f"no production has the start symbol {start} (from --start) on its left", path)
    return grammar.with_start(start)


def _add_chunk_options(command: argparse.ArgumentParser) -> None:
    group = command.add_argument_group(
        "chunked run", "read the corpora in chunks, counted on every core or on a Dask cluster, "
        "with the same result (the estimate of a line's parse cost is then skipped)"
    )
    group.add_argument(
        "--workers", type=_positive_int, metavar="N",
        help="count N chunks at a time, in this process and N - 1 worker processes (default: every core)",
    )
    group.add_argument("--chunk-lines", type=_positive_int, metavar="N", help="lines per chunk (default 10000)")
    group.add_argument("--dask", metavar="ADDRESS", help="count on the workers of the Dask scheduler at ADDRESS")


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _chunked(args: argparse.Namespace) -> bool:
    return args.workers is not None or args.chunk_lines is not None or args.dask is not None


def _corpus_argument(path: str, chunked: bool) -> str | list[str]:
    """A chunked run reads a corpus file itself, chunk by chunk; standard input
    and the one-call path are read here."""
    return path if chunked and path != STDIN else _read_corpus(path)


@contextlib.contextmanager
def _chunk_options(args: argparse.Namespace) -> Iterator[ChunkOptions]:
    """The keyword arguments of a chunked run, with a Dask client while it lasts."""
    if not _chunked(args):
        yield {}
        return
    options: ChunkOptions = {"workers": args.workers, "chunk_lines": args.chunk_lines}
    if args.dask is None:
        yield options
        return
    try:
        from distributed import Client
    except ImportError:
        raise InputError("--dask needs Dask: pip install 'grammar-engine[dask]'") from None
    try:
        client = Client(args.dask)
    except (OSError, TimeoutError, ValueError) as error:
        raise InputError(f"cannot reach the Dask scheduler at {args.dask}: {error}") from None
    with client:
        options["client"] = client
        yield options


def _read_corpus(path: str) -> list[str]:
    if path != STDIN:
        return read_corpus(path)
    lines = [line for line in decode_lines(_read_stdin(), STDIN_NAME) if line]
    if not lines:
        raise InputError("empty corpus: no non-blank lines", STDIN_NAME)
    return lines


def _read_stdin() -> bytes:
    try:
        return sys.stdin.buffer.read()
    except OSError as error:
        raise InputError(error.strerror or str(error), STDIN_NAME) from None


def _name(path: str) -> str:
    return STDIN_NAME if path == STDIN else path


def _string_to_parse(args: argparse.Namespace) -> str:
    if args.string is not None and args.file is not None:
        raise InputError("give the string either on the command line or with --file, not both")
    if args.string is not None:
        text: str = args.string
        _check_utf8(text, "the string to parse")
        return text
    if args.file is None or args.file == STDIN:
        data, name = _read_stdin(), STDIN_NAME
    else:
        name = args.file
        try:
            with open(name, "rb") as stream:
                data = stream.read()
        except FileNotFoundError:
            raise InputError("no such file", name) from None
        except OSError as error:
            raise InputError(error.strerror or str(error), name) from None
    if data.endswith(b"\n"):
        data = data[:-2] if data.endswith(b"\r\n") else data[:-1]
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise InputError(
            f"not valid UTF-8 (byte 0x{data[error.start]:02x} at byte {error.start + 1})", name
        ) from None


def _check_utf8(argument: str, what: str) -> None:
    """Refuse a command-line argument whose bytes were not UTF-8 (Python keeps them as surrogates)."""
    try:
        argument.encode("utf-8")
    except UnicodeEncodeError:
        raise InputError(f"{what} is not valid UTF-8") from None


def _pretty_size(tree: Tree) -> int:
    """The number of characters `tree.pretty()` would print, roughly: indentation dominates."""
    size = 0
    stack: list[tuple[Tree | str, int]] = [(tree, 0)]
    while stack:
        node, depth = stack.pop()
        size += 4 * depth + 8
        if size > PRETTY_LIMIT:
            break
        if isinstance(node, Tree):
            stack.extend((child, depth + 1) for child in node.children)
    return size


def _tree_json(tree: Tree) -> str:
    """`{"label": ..., "children": [...]}` with leaves as strings; iterative, for deep trees."""
    parts: list[str] = []
    stack: list[object] = [tree]
    while stack:
        item = stack.pop()
        if isinstance(item, Tree):
            parts.append('{"label": ' + json.dumps(item.label, ensure_ascii=False) + ', "children": [')
            stack.append(_Raw("]}"))
            for index in range(len(item.children) - 1, -1, -1):
                stack.append(item.children[index])
                if index:
                    stack.append(_Raw(", "))
        elif isinstance(item, _Raw):
            parts.append(item)
        else:
            assert isinstance(item, str)
            parts.append(json.dumps(item, ensure_ascii=False))
    return "".join(parts)


class _Raw(str):
    """JSON punctuation on the stack of `_tree_json`, told apart from leaf strings."""


def _display_rule(
    lhs: str, rhs: Sequence[str], terminals: frozenset[str], names: dict[str, str]
) -> str:
    """A rule of the engine with terminals quoted and nonterminals under the grammar's names."""
    shown = []
    for symbol in rhs:
        if symbol in terminals:
            shown.append(f'"{symbol}"' if "'" in symbol else f"'{symbol}'")
        else:
            shown.append(names.get(symbol, symbol))
    return f"{names.get(lhs, lhs)} -> {' '.join(shown)}"


def _write_out(text: str, chunk: int = 1 << 16) -> None:
    """Write `text` to standard output piece by piece, so a reader that goes away is noticed."""
    for start in range(0, len(text), chunk):
        sys.stdout.write(text[start : start + chunk])
        sys.stdout.flush()


def _write_text(path: str, text: str) -> None:
    if path == STDOUT:
        _write_out(text)
        return
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


def _share(part: int, whole: int) -> str:
    if not whole:
        return f"{part} of {whole}"
    percent = 100 * part / whole
    decimals = 1
    # Only all lines show as 100% and only none as 0%.
    while 0 < part < whole and float(f"{percent:.{decimals}f}") in (0.0, 100.0):
        decimals += 1
    return f"{part} of {whole} ({percent:.{decimals}f}%)"


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
