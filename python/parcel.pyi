# Type hints of the parcel module: the thirty message types as dicts and
# XDR bytes (see help(parcel)).
from typing import Any, Mapping, Union

_Buffer = Union[bytes, bytearray, memoryview]
# {"fields": {...}} (a struct's fields dict alone also does for encode), or
# for a union {"arm": ..., "fields": {...}}; decode adds "type",
# "bytes_consumed", and for a union "discriminant" and "arm_type".
_Message = Mapping[str, Any]

class DecodeError(ValueError):
    """Bytes that are not a valid message of the type."""
    code: str  # "presence", "discriminant", "short", "length", "nul" or "padding"
    rule: str  # the rule in words
    offset: int  # the byte of the data at which the decoder finds out
    field: str | None  # the field that broke the rule; None for a presence word or discriminant
    arm: str | None  # the union arm whose record holds it

def types() -> list[dict[str, Any]]: ...
def encode(type_name: str, message: _Message, /) -> bytes: ...
def encoded_length(type_name: str, message: _Message, /) -> int: ...
def decode(type_name: str, data: _Buffer, /) -> dict[str, Any]: ...
def decode_all(type_name: str, data: _Buffer, /) -> list[dict[str, Any]]: ...
def identify(data: _Buffer, /) -> list[tuple[str, int]]: ...
