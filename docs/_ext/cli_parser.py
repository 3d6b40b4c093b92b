"""The command line's own parser, for sphinx-argparse, which reads help texts as reStructuredText:
the characters that reST would take for markup (`*.json`, a `|` between choices) are escaped, so
that the page shows the texts exactly as `--help` prints them."""
import argparse
import re

from zun_protocol_cli import app

_MARKUP = re.compile(r"([*`|\\])")


def _escape(text):
    return text if text is None else _MARKUP.sub(r"\\\1", text)


def _escape_parser(parser):
    parser.description = _escape(parser.description)
    parser.epilog = _escape(parser.epilog)
    for action in parser._actions:
        if action.help not in (None, argparse.SUPPRESS):
            action.help = _escape(action.help)
        if isinstance(action, argparse._SubParsersAction):
            for choice in action._choices_actions:
                choice.help = _escape(choice.help)
            for subparser in action.choices.values():
                _escape_parser(subparser)


def build_parser():
    parser = app.build_parser()
    _escape_parser(parser)
    return parser
