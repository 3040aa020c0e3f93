"""Command-line tool and grammar files around the native module `_engine`.

`python -m grammar_engine` (or the `grammar-engine` script) induces a grammar
from text, scores a grammar on a corpus, draws the derivation of one string and
prints the tagged Chomsky-normal-form rules of a grammar. `grammar_file` reads and
writes grammars in NLTK's text notation.
"""

from pkgutil import extend_path

# Native parts of the package may sit in a build tree that is on sys.path before
# this folder (a development build); let them extend the package.
__path__ = extend_path(__path__, __name__)

__all__ = ["main"]


def main(argv=None) -> int:
    from .cli import main as cli_main

    return cli_main(argv)
