"""ZeltoClient endpoint resolution through Python: the resolved target as reported by
endpoint() and protocol(), and every configuration error as ValueError with its fixed text."""

from __future__ import annotations

import pytest

from zelto_sdk import ZeltoClient

# Every Unicode White_Space code point; blanks pasted from documents are trimmed like spaces.
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008"
    "\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
)

RESOLVED = [
    # (args, kwargs, endpoint(), protocol())
    ((), {}, "unix:///tmp/zelto.sock", "socket"),
    (("   ",), {}, "unix:///tmp/zelto.sock", "socket"),
    ((WHITE_SPACE,), {}, "unix:///tmp/zelto.sock", "socket"),
    ((), {"port": 5000}, "tcp://127.0.0.1:5000", "tcp"),
    ((), {"port": 0}, "tcp://127.0.0.1:0", "tcp"),
    ((), {"host": "gpu1"}, "tcp://gpu1:9096", "tcp"),
    ((), {"host": " gpu1 ", "port": 7}, "tcp://gpu1:7", "tcp"),
    (("localhost:9000",), {}, "unix://localhost:9000", "socket"),
    (("tcp://localhost:9000",), {}, "tcp://localhost:9000", "tcp"),
    (("  unix:///run/e.sock  ",), {}, "unix:///run/e.sock", "socket"),
    ((WHITE_SPACE + "unix:///run/e.sock" + WHITE_SPACE,), {}, "unix:///run/e.sock", "socket"),
    (("\u200bx",), {}, "unix://\u200bx", "socket"),  # zero width space is not White_Space
    (("TCP://h:1",), {}, "unix://TCP://h:1", "socket"),
    (("Unix:///x",), {}, "unix://Unix:///x", "socket"),
    (("http://h:1",), {}, "unix://http://h:1", "socket"),
    (("tcp://example:notaport",), {}, "tcp://example:notaport", "tcp"),
    (("tcp://a:1",), {"host": "b", "port": 2}, "tcp://a:1", "tcp"),
    (("/e",), {"socket_path": "/s"}, "unix:///e", "socket"),
    ((), {"socket_path": "/s", "endpoint": "/e", "protocol": "unix"}, "unix:///s", "socket"),
    ((), {"socket_path": "tcp://h:1"}, "tcp://h:1", "tcp"),
    ((), {"socket_path": "/s", "pipe_name": "p"}, "unix:///s", "socket"),
    ((), {"host": "h", "socket_path": "/s", "pipe_name": "p"}, "tcp://h:9096", "tcp"),
    ((), {"host": "  ", "port": None, "socket_path": "\u3000/s\u3000"}, "unix:///s", "socket"),
    ((), {"pipe_name": " "}, "unix:///tmp/zelto.sock", "socket"),
    ((), {"protocol": " Tcp "}, "tcp://127.0.0.1:9096", "tcp"),
    ((), {"protocol": "\u3000TCP\xa0"}, "tcp://127.0.0.1:9096", "tcp"),
    ((), {"protocol": "tcp", "host": "h", "port": 1}, "tcp://h:1", "tcp"),
    (("a:1",), {"protocol": "tcp"}, "tcp://a:1", "tcp"),
    (("tcp://a:1",), {"protocol": "TCP"}, "tcp://a:1", "tcp"),
    (("/path",), {"protocol": "tcp"}, "tcp:///path", "tcp"),
    ((), {"protocol": "   "}, "unix:///tmp/zelto.sock", "socket"),
    ((), {"protocol": "unix"}, "unix:///tmp/zelto.sock", "socket"),
    ((), {"protocol": "LOCAL"}, "unix:///tmp/zelto.sock", "socket"),
    ((), {"protocol": "socket", "endpoint": "/e"}, "unix:///e", "socket"),
    ((), {"protocol": "socket", "endpoint": "tcp://h:1"}, "tcp://h:1", "tcp"),
    ((), {"api_token": ""}, "unix:///tmp/zelto.sock", "socket"),
    ((), {"api_token": "  secret  ", "max_pool_size": 0}, "unix:///tmp/zelto.sock", "socket"),
]


@pytest.mark.parametrize("args, kwargs, endpoint, protocol", RESOLVED)
def test_resolved_endpoint(args, kwargs, endpoint, protocol):
    client = ZeltoClient(*args, **kwargs)
    assert client.endpoint() == endpoint
    assert client.protocol() == protocol
    assert type(client.endpoint()) is str


UNSUPPORTED = "Unsupported protocol '{}'. Use one of: socket, tcp, pipe"
TCP_COMBINED = "protocol='tcp' cannot be combined with socket_path or pipe_name"
ENDPOINT_AND_HOST = "When endpoint is provided, do not also pass host/port"
TCP_EMPTY = "tcp:// endpoint must include host:port"
TCP_SCHEME = "protocol='tcp' expects endpoint as host:port or tcp://host:port"
SOCKET_COMBINED = "protocol='socket' cannot be combined with host/port/pipe_name"
PIPE_COMBINED = "protocol='pipe' cannot be combined with host/port/socket_path"
PIPE_WINDOWS = "protocol='pipe' is only supported on Windows"
PIPE_NAME_WINDOWS = "pipe_name is only supported on Windows"
UNIX_EMPTY = "unix:// endpoint must include a socket path"

REFUSED = [
    ((), {"protocol": "udp"}, UNSUPPORTED.format("udp")),
    ((), {"protocol": "UDP"}, UNSUPPORTED.format("udp")),
    ((), {"protocol": " Http\t"}, UNSUPPORTED.format("http")),
    ((), {"protocol": "\u212a"}, UNSUPPORTED.format("\u212a")),  # only A-Z are lowered
    ((), {"protocol": "T\u0130P"}, UNSUPPORTED.format("t\u0130p")),
    ((), {"protocol": "tcp", "socket_path": "/s"}, TCP_COMBINED),
    (("a:1",), {"protocol": "tcp", "pipe_name": "p"}, TCP_COMBINED),
    (("a:1",), {"protocol": "tcp", "port": 2}, ENDPOINT_AND_HOST),
    (("a:1",), {"protocol": "tcp", "port": 0}, ENDPOINT_AND_HOST),
    (("a:1",), {"protocol": "tcp", "host": "h"}, ENDPOINT_AND_HOST),
    (("tcp://",), {"protocol": "tcp"}, TCP_EMPTY),
    (("unix:///x",), {"protocol": "TCP"}, TCP_SCHEME),
    (("a://b",), {"protocol": "tcp"}, TCP_SCHEME),
    ((), {"protocol": "socket", "host": "h"}, SOCKET_COMBINED),
    ((), {"protocol": "unix", "port": 1}, SOCKET_COMBINED),
    ((), {"protocol": "local", "pipe_name": "p"}, SOCKET_COMBINED),
    ((), {"protocol": "unix", "socket_path": "unix://"}, UNIX_EMPTY),
    ((), {"protocol": "pipe", "pipe_name": "x"}, PIPE_WINDOWS),
    ((), {"protocol": "named_pipe"}, PIPE_WINDOWS),
    (("tcp://",), {"protocol": "Named-Pipe"}, PIPE_WINDOWS),
    ((), {"protocol": "pipe", "pipe_name": "x", "host": "h"}, PIPE_COMBINED),
    ((), {"protocol": "pipe", "port": 0}, PIPE_COMBINED),
    ((), {"protocol": "pipe", "socket_path": "/s"}, PIPE_COMBINED),
    ((), {"pipe_name": "p"}, PIPE_NAME_WINDOWS),
    (("tcp://",), {}, TCP_EMPTY),
    ((" tcp:// ",), {}, TCP_EMPTY),
    (("unix://",), {}, UNIX_EMPTY),
    ((), {"socket_path": "unix://"}, UNIX_EMPTY),
]


@pytest.mark.parametrize("args, kwargs, message", REFUSED)
def test_configuration_errors_raise_value_error(args, kwargs, message):
    with pytest.raises(ValueError) as raised:
        ZeltoClient(*args, **kwargs)
    assert type(raised.value) is ValueError
    assert str(raised.value) == message
    assert raised.value.args == (message,)


def test_construction_touches_no_file_or_socket(tmp_path):
    path = tmp_path / "absent" / "engine.sock"
    client = ZeltoClient(socket_path=str(path))
    assert client.endpoint() == f"unix://{path}"
    assert not path.parent.exists()
    assert ZeltoClient("tcp://host.invalid:1").endpoint() == "tcp://host.invalid:1"


def test_endpoint_is_stable_across_calls():
    client = ZeltoClient(port=5000)
    first, second = client.endpoint(), client.endpoint()
    assert first == second == "tcp://127.0.0.1:5000"
