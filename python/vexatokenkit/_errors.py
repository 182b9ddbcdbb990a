"""Exceptions raised by vexatokenkit, and the mapping from the library's error values."""
from __future__ import annotations

from typing import Tuple

#: Domain of the errors the Python layer raises by itself (no token, time-outs, key refused...).
DOMAIN = "vexatokenkit"
#: Domain of the token session's own errors (1 link lost, 4 no reply in time, 7 cancelled,
#: 0xFF00 + status...).
TOKEN_DOMAIN = "org.vexatokenkit.LumoToken"
#: Domain of the mapped errors of the information, power and APDU operations.
VEXA_DOMAIN = "VexaTokenError"

# Codes of DOMAIN.
NOT_FOUND = 1
TIMED_OUT = 2
NOT_CONNECTED = 3
NOT_PAIRED = 4
BLUETOOTH_UNAVAILABLE = 5

ErrorValue = Tuple[str, int, str]


class TokenError(Exception):
    """A failure reported by the token, the link or the library.

    ``domain``, ``code`` and ``message`` are the library's error value, for example
    ``("org.vexatokenkit.LumoToken", 0xFF0B, ...)`` for a file operation the token refused with
    status 11, or ``("VexaTokenError", -2016, "Unable to get serial number.")``.
    """

    def __init__(self, domain: str, code: int, message: str) -> None:
        super().__init__(f"{domain} {code}: {message}")
        self.domain = domain
        self.code = code
        self.message = message


class NotPaired(TokenError):
    """The token rejected the session key: wrong key or password, or this host is not paired."""


class TokenTimeout(TokenError):
    """Something did not happen in time: the token's reply (the link is then dropped), a
    connection attempt, or a search for a token."""


class ConnectionLost(TokenError):
    """The link to the token is down: lost during the operation, or gone before it started."""


class OperationCancelled(TokenError):
    """The operation was cancelled through the library (``Token.cancel``) before it was answered."""


class TokenNotFound(TokenError):
    """No token matching the search was heard in time."""


class BluetoothUnavailable(TokenError):
    """Bluetooth is off, not permitted or not supported, so nothing can be scanned."""


def error_from(value: ErrorValue) -> TokenError:
    """The exception for one of the library's error values ``(domain, code, message)``."""
    domain, code, message = value
    if domain == TOKEN_DOMAIN and code == 4:
        return TokenTimeout(domain, code, message)
    if domain == TOKEN_DOMAIN and code == 7:
        return OperationCancelled(domain, code, message)
    # Code 1 of the session, and its mapped form -2006 ("Unable to get connection state.").
    if (domain == TOKEN_DOMAIN and code == 1) or (domain == VEXA_DOMAIN and code == -2006):
        return ConnectionLost(domain, code, message)
    return TokenError(domain, code, message)


def own_error(cls: type, code: int, message: str) -> TokenError:
    """An error of the Python layer's own domain."""
    return cls(DOMAIN, code, message)
