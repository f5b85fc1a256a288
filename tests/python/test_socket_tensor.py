"""ZeltoClient.infer_tensor: the (data, shape, dtype) result, and dtype parsing as the user sees
it (canonical names on the wire and back, full Unicode lower-casing in the error text)."""

from __future__ import annotations

import struct
import unicodedata

import pytest

import zelto_sdk

CANONICAL = ["float32", "float64", "float16", "int32", "int64", "uint8", "string"]
FORMS = {
    "float32": "float32", "FP32": "float32", "Float32": "float32",
    "FLOAT64": "float64", "fp64": "float64",
    "float16": "float16", "Fp16": "float16",
    "Int32": "int32", "I32": "int32",
    "int64": "int64", "i64": "int64",
    "UINT8": "uint8", "u8": "uint8",
    "String": "string", "UTF8": "string",
}


def frames(record):
    return [(conn, data) for conn, kind, data in record if kind == "frame"]


@pytest.fixture
def client(engines, socket_path, record_path):
    engines.start("--unix", socket_path, "--record", record_path)
    return zelto_sdk.ZeltoClient(socket_path)


@pytest.mark.parametrize("shape, data", [
    ([2, 3], struct.pack("<6f", *range(6))),
    ([], b"\x01\x02\x03\x04"),                 # scalar: empty shape list
    ([-1, 5, -9223372036854775808], b"ab"),     # negative dims come back unchanged
    ([4], b"abc"),                             # no length check against shape and dtype
    ([0], b""),
])
def test_result_is_data_shape_dtype(client, shape, data):
    result = client.infer_tensor(1, shape, "float32", data)
    assert type(result) is tuple and len(result) == 3
    assert result == (data, shape, "float32")
    assert type(result[0]) is bytes and type(result[1]) is list


@pytest.mark.parametrize("given", [
    list(range(1, 9)), list(range(1, 10)), tuple(range(-20, 0)), range(3, 15),
])
def test_long_shapes_go_out_whole(client, record_path, wire, given):
    # Eight dimensions and more, through the list, tuple and generic sequence readings.
    assert client.infer_tensor(2, given, "uint8", b"z") == (b"z", list(given), "uint8")
    [(_, frame)] = frames(wire.read_record(record_path))
    assert frame[12:] == wire.request(list(given), "uint8", b"z")


@pytest.mark.parametrize("form, canonical", FORMS.items())
def test_dtype_forms_go_out_and_come_back_canonical(client, record_path, wire, form, canonical):
    assert client.infer_tensor(2, [1], form, b"z") == (b"z", [1], canonical)
    [(_, frame)] = frames(wire.read_record(record_path))
    assert frame[12:] == wire.request([1], canonical, b"z")


def test_many_dtype_objects_in_turn_each_go_out_as_given(client, record_path, wire):
    # More distinct dtype objects than the library keeps texts of, revisited after others, and
    # equal texts as fresh objects (which may reuse a freed object's address): every call must
    # carry its own dtype.
    forms = list(FORMS.items())
    calls = forms + forms[::-1]
    for form, canonical in calls:
        assert client.infer_tensor(2, [1], form, b"z") == (b"z", [1], canonical)
    for form, canonical in forms * 2:
        calls.append((form, canonical))
        fresh = form.encode().decode()  # dropped after its call
        assert client.infer_tensor(2, [1], fresh, b"z") == (b"z", [1], canonical)
        del fresh
    sent = [frame[12:] for _, frame in frames(wire.read_record(record_path))]
    assert sent == [wire.request([1], canonical, b"z") for _, canonical in calls]


@pytest.mark.parametrize("wire_dtype, canonical", [
    ("FP16", "float16"), ("fp16", "float16"), ("utf8", "string"), ("I64", "int64"), ("u8", "uint8"),
])
def test_engine_dtype_spelling_is_canonicalised(engines, socket_path, wire_dtype, canonical):
    engines.start("--unix", socket_path, "--reply-dtype", wire_dtype)
    client = zelto_sdk.ZeltoClient(socket_path)
    assert client.infer_tensor(1, [2], "float32", b"ab") == (b"ab", [2], canonical)


def test_base64_reply(engines, socket_path):
    engines.start("--unix", socket_path, "--base64")
    client = zelto_sdk.ZeltoClient(socket_path)
    for data in (b"", b"\x01", b"\x01\x02", b"\x01\x02\x03", bytes(range(256))):
        assert client.infer_tensor(1, [len(data), 1], "uint8", data) == (data, [len(data), 1], "uint8")


def test_bad_additional_dtype_takes_no_connection(client, record_path, wire):
    assert client.infer_tensor(1, [1], "u8", b"a") == (b"a", [1], "uint8")
    with pytest.raises(ValueError) as info:
        client.infer_tensor(1, [1], "u8", b"b", additional_inputs={"x": ([1], "Float", b"")})
    assert info.value.args == ("Invalid input: Unsupported dtype: float",)
    assert client.infer_tensor(1, [1], "u8", b"c") == (b"c", [1], "uint8")
    # Both successful calls used the one pooled connection; the failed call touched nothing.
    assert [conn for conn, _ in frames(wire.read_record(record_path))] == [1, 1]


def test_undecodable_reply(engines, socket_path):
    engines.start("--unix", socket_path, "--reply-dtype", "complex64")
    with pytest.raises(RuntimeError) as info:
        zelto_sdk.ZeltoClient(socket_path).infer_tensor(1, [1], "u8", b"a")
    assert info.value.args == ("Invalid input: Unsupported dtype: complex64",)


# Additional inputs are parsed before any connection is made, so the dtype text and its error
# can be checked without an engine.
UNREACHABLE = "/nonexistent/zelto-engine.sock"


def dtype_error(text):
    client = zelto_sdk.ZeltoClient(UNREACHABLE)
    with pytest.raises(ValueError) as info:
        client.infer_tensor(0, [], "uint8", b"", additional_inputs={"t": ([], text, b"")})
    return str(info.value)


@pytest.mark.parametrize("text, lowered", [
    ("BOGUS", "bogus"),
    (" float32", " float32"),
    ("float32 ", "float32 "),
    ("float", "float"),
    ("\u0130NT32", "i\u0307nt32"),         # capital I with dot: two code points, never "int32"
    ("\u212aB", "kb"),                     # Kelvin sign
    ("\u039f\u0394\u03a3 \u03a3", "\u03bf\u03b4\u03c2 \u03c3"),  # final and non-final sigma
    ("\U00010400", "\U00010428"),
])
def test_dtype_errors_show_the_lower_cased_text(text, lowered):
    assert dtype_error(text) == "Invalid input: Unsupported dtype: " + lowered


def test_lower_casing_matches_python_for_every_code_point():
    # Code points that this interpreter's Unicode tables do not know yet are left out: the
    # library's tables may be newer.
    known = [chr(cp) for cp in range(0x80, 0x110000)
             if not 0xD800 <= cp <= 0xDFFF and unicodedata.category(chr(cp)) != "Cn"]
    # Separated by "|" (neither cased nor case-ignorable) so the final-sigma rule sees only
    # neighbours that are part of the test.
    chunk = 2000
    for start in range(0, len(known), chunk):
        text = "|".join(known[start:start + chunk])
        assert dtype_error(text) == "Invalid input: Unsupported dtype: " + text.lower(), start
