"""What counts as a credential, and how a recorded text loses it.

One place for everything nefa stores: the values of frame variables and of
dict entries at any depth (the native encoder applies it), the trace's
command line, and the HTTP plugin's headers and URLs.  A *name* is secret
when, stripped of ASCII white space and with ASCII letters folded to lower
case, it contains one of the fragments or is one of the names.  The
configuration's "redact" list adds fragments; its "redact_values" switch
turns the redaction of values and of the command line off.

Header and parameter names are judged by the wide fragments (``key``,
``code``, ``auth``...: a wrongly hidden header costs little).  Names of
variables and dict keys are judged by narrower ones: the wide list would hide
``key``, ``encode``, ``status_code``, ``author`` or ``signal``, the values a
tracer is read for.

Inside a text, ``name=value`` pairs with a secret name (percent-decoded, as
in a URL's query, ``;`` parameters and ``key=value`` lists) lose the value.

Imports nothing of nefa: the native encoder reads the default rule from here
when it is first imported.
"""

from __future__ import annotations

import re
import string
from collections.abc import Iterable, Sequence
from urllib.parse import unquote_plus

__all__ = [
    "QUERY_NAMES",
    "REDACTED",
    "SECRET_FRAGMENTS",
    "SECRET_NAMES",
    "VALUE_FRAGMENTS",
    "VALUE_NAMES",
    "Rule",
    "active",
    "command_line",
    "configure",
    "fold",
]

REDACTED = "[redacted]"

# A name containing one of these carries a credential.
SECRET_FRAGMENTS = (
    "token",
    "secret",
    "pass",
    "pwd",
    "auth",
    "key",
    "sig",
    "session",
    "cookie",
    "jwt",
    "code",
    "credential",
    "csrf",
    "xsrf",
    "sessid",
)
# Names that carry credentials without saying so.
SECRET_NAMES = frozenset(("dpop", "otp", "pin", "nonce", "sid"))
# A variable's or a dict key's name containing one of these holds a credential
# (WSGI's HTTP_AUTHORIZATION, HTTP_COOKIE, HTTP_X_API_KEY among them).
VALUE_FRAGMENTS = (
    "passw",
    "passphrase",
    "pwd",
    "secret",
    "token",
    "apikey",
    "api_key",
    "api-key",
    "private_key",
    "privatekey",
    "access_key",
    "signing_key",
    "session_key",
    "credential",
    "cookie",
    "authoriz",
    "bearer",
    "jwt",
    "csrf",
    "xsrf",
    "sessionid",
    "session_id",
    "sessid",
)
# ... and so does one of these names, whole.
VALUE_NAMES = SECRET_NAMES | frozenset(("auth", "pass", "session", "signature"))
# Values under these names are a URL, its query or a request header (a WSGI
# environ's, "X-Custom: token=..."): only their secret pairs are replaced,
# the rest is worth keeping. A final "*" matches any rest of the name.
QUERY_NAMES = frozenset(("query_string", "request_uri", "raw_uri", "http_*"))

# ASCII letters only (plus the two non-ASCII letters whose lower case is an
# ASCII one), so that the native encoder folds exactly as this does.
_FOLD: dict[int, int | str] = {code: code + 32 for code in range(ord("A"), ord("Z") + 1)}
_FOLD.update({0x212A: "k", 0x130: "i"})
_SPACE = " \t\n\r\f\v"
_NAME_CHARS = frozenset(string.ascii_letters + string.digits + "_.%+-[]")
_VALUE_ENDS = frozenset("&;#?,\"'<>" + _SPACE)


def fold(name: str) -> str:
    return str.translate(str.strip(name, _SPACE), _FOLD)


class Rule:
    """The default fragments and names, with ``extra_fragments`` added to
    both lists."""

    def __init__(self, extra_fragments: Iterable[str] = ()):
        extra = tuple(extra_fragments)
        self.fragments = _folded(SECRET_FRAGMENTS, extra)
        self.value_fragments = _folded(VALUE_FRAGMENTS, extra)
        self._pattern = _any_of(self.fragments)
        self._value_pattern = _any_of(self.value_fragments)

    def is_secret(self, name: str) -> bool:
        """Whether a header's or a parameter's value is a credential."""
        folded = fold(name)
        return folded in SECRET_NAMES or self._pattern.search(folded) is not None

    def is_secret_value(self, name: str) -> bool:
        """Whether a variable's or a dict entry's value is a credential."""
        folded = fold(name)
        return folded in VALUE_NAMES or self._value_pattern.search(folded) is not None

    def is_query(self, name: str) -> bool:
        folded = fold(name)
        return any(folded.startswith(q[:-1]) if q.endswith("*") else folded == q for q in QUERY_NAMES)

    def pairs(self, text: str) -> str:
        """``text`` with the value of every ``name=value`` whose name is
        secret replaced.  A name is the run of URL name characters right
        before ``=``; a value runs to the next ``&;#?,`` quote, angle
        bracket or white space (an empty one is replaced too).  After a pair that is kept the scan goes on
        inside its value (``next=/login?token=...``)."""
        if "=" not in text:
            return text
        pieces: list[str] = []
        start = cursor = 0
        while (equals := text.find("=", cursor)) >= 0:
            name_start = equals
            while name_start > cursor and text[name_start - 1] in _NAME_CHARS:
                name_start -= 1
            end = equals + 1
            while end < len(text) and text[end] not in _VALUE_ENDS:
                end += 1
            if name_start < equals and self.is_secret(unquote_plus(text[name_start:equals])):
                pieces += (text[start : equals + 1], REDACTED)
                start = cursor = end
            else:
                cursor = equals + 1
        pieces.append(text[start:])
        return "".join(pieces)

    def command_line(self, argv: Sequence[str]) -> list[str]:
        """``argv`` with secrets replaced: the value of ``--name=value`` and
        of ``--name value`` (the next argument, unless an option) for a
        secret name, and secret pairs anywhere (URLs, ``;`` parameters)."""
        out: list[str] = []
        secret_option = False
        for arg in argv:
            if secret_option and not arg.startswith("-"):
                out.append(REDACTED)
                secret_option = False
                continue
            name, equals, _ = arg.partition("=")
            secret_option = arg.startswith("-") and not equals and self.is_secret_value(arg.lstrip("-"))
            if arg.startswith("-") and equals and self.is_secret_value(name.lstrip("-")):
                out.append(name + "=" + REDACTED)
            else:
                out.append(self.pairs(arg))
        return out


def _folded(fragments: Iterable[str], extra: Iterable[str]) -> tuple[str, ...]:
    return tuple(dict.fromkeys(part for part in (fold(part) for part in (*fragments, *extra)) if part))


def _any_of(fragments: Sequence[str]) -> re.Pattern[str]:
    return re.compile("|".join(re.escape(part) for part in fragments))


_DEFAULT = Rule()
# The rule of the recording under way; None when values are recorded whole.
_active: Rule | None = _DEFAULT


def active() -> Rule | None:
    return _active


def configure(config) -> None:
    """Use the rule a profiler config asks for, here and in the native encoder."""
    global _active
    enabled = not isinstance(config, dict) or config.get("redact_values", True)
    extra = config.get("redact") if isinstance(config, dict) else None
    rule = (Rule(part for part in extra if isinstance(part, str)) if extra else _DEFAULT) if enabled else None
    from nefa import _native

    if rule is None:
        _native.set_redaction(None, SECRET_NAMES, QUERY_NAMES, (), VALUE_NAMES)
    else:
        _native.set_redaction(rule.fragments, SECRET_NAMES, QUERY_NAMES, rule.value_fragments, VALUE_NAMES)
    _active = rule


def command_line(argv):
    """The trace's command line: ``argv`` as the active rule shows it."""
    if _active is None or not isinstance(argv, list) or not all(type(arg) is str for arg in argv):
        return argv  # as it is: the document refuses what is not a list of strs
    return _active.command_line(argv)
