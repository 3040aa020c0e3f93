"""Grammar induction, scoring and parsing on text, around the native module `_engine`.

The Python API:

- `Grammar`: a context-free grammar loaded from the file notation (NLTK's),
  from an `nltk.CFG` or from Python data; `parse` a string into a `Tree`,
  `score` it on a corpus (a `Score`), write it back with `str`.
- `induce`: a grammar induced from lines of text and scored on held-out lines
  (an `Induction`).
- `GrammarEngineWarning`: the warnings both report (also kept on the results);
  `InputError`: bad input (a `ValueError`), located by file and line.

`python -m grammar_engine` (or the `grammar-engine` script) is the command line.
"""

from __future__ import annotations

from pkgutil import extend_path

# Native parts of the package may sit in a build tree that is on sys.path before
# this folder (a development build); let them extend the package.
__path__ = extend_path(__path__, __name__)

import importlib
from typing import TYPE_CHECKING, Any, Sequence

from ._version import __version__
from .errors import GrammarEngineWarning, InputError

if TYPE_CHECKING:
    from .grammar import Grammar
    from .induction import Induction, induce
    from .limits import LineCost
    from .normal_form import Nonterminal
    from .scoring import Score
    from .tree import Tree

# The API's modules are imported on first use: a worker process counting chunks,
# or `grammar-engine --version`, needs none of them.
_LAZY = {
    "Grammar": ".grammar",
    "Induction": ".induction",
    "induce": ".induction",
    "LineCost": ".limits",
    "Nonterminal": ".normal_form",
    "Score": ".scoring",
    "Tree": ".tree",
}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(module, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY})


__all__ = [
    "Grammar",
    "GrammarEngineWarning",
    "Induction",
    "InputError",
    "LineCost",
    "Nonterminal",
    "Score",
    "Tree",
    "__version__",
    "induce",
    "main",
]


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with `argv` (default: `sys.argv[1:]`); returns the exit status."""
    from .cli import main as cli_main

    return cli_main(argv)
