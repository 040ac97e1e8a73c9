#!/usr/bin/env python3
"""A small Kestrel client in plain Python 3 (standard library only).

It asks for the server's and the locomotive's names with framed requests,
reads the controller list as JSON with a plain-text command, then polls the
first few controllers' values a number of times:

    python3 kestrel_client.py --host 127.0.0.1 --port 47812 --count 5

The protocol is described in docs/protocol.md in Kestrel's sources.
"""

import argparse
import json
import socket
import sys
import time


class ProtocolError(Exception):
    pass


class KestrelConnection:
    """One connection; framed and plain-text requests may be mixed on it.

    The server reads one request per arrival of data, so this class sends a
    request only after the previous one has been answered.
    """

    def __init__(self, host, port, timeout):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.tag = 0
        self.buffer = b""

    def close(self):
        self.sock.close()

    def _receive(self):
        chunk = self.sock.recv(65536)  # raises socket.timeout after the timeout
        if not chunk:
            raise ProtocolError("the server closed the connection")
        self.buffer += chunk

    def _take(self, count):
        while len(self.buffer) < count:
            self._receive()
        taken, self.buffer = self.buffer[:count], self.buffer[count:]
        return taken

    def request(self, code, payload="", reply_code=None):
        """Sends a framed request; returns the payload of the reply with its tag.

        Frames: "@" LLLLLL ";" CCC ";" TTTTTT ";" payload ";", where L counts
        the UTF-8 bytes after the first eight. Codes 6 and 9 are answered with
        codes 7 and 10; the others with their own code.
        """
        self.tag = self.tag % 999999 + 1
        body = b"%03d;%06d;" % (code, self.tag) + payload.encode("utf-8") + b";"
        self.sock.sendall(b"@%06d;" % len(body) + body)
        if reply_code is None:
            reply_code = {6: 7, 9: 10}.get(code, code)
        while True:
            header = self._take(8)
            if header[:1] != b"@" or header[7:8] != b";" or not header[1:7].isdigit():
                raise ProtocolError("not a frame header: %r" % header)
            body = self._take(int(header[1:7]))
            tag, reply = int(body[4:10]), body[11:-1].decode("utf-8")
            if tag != self.tag:
                continue  # an answer to something else
            if int(body[0:3]) != reply_code:
                raise ProtocolError("reply code %s, expected %d" % (body[0:3].decode(), reply_code))
            return reply

    def text(self, command, complete):
        """Sends a plain-text command; returns the answer once complete(bytes) holds.

        Plain-text answers carry no terminator: the caller says when an
        answer is whole (here: when it parses as JSON).
        """
        self.sock.sendall(command.encode())
        while not complete(self.buffer):
            self._receive()
        answer, self.buffer = self.buffer, b""
        return answer


def is_json(data):
    try:
        json.loads(data.decode("utf-8"))
        return True
    except ValueError:
        return False


def parse_values(payload):
    """'ID:VALUE::' records into (id, value) pairs."""
    return [tuple(record.split(":", 1)) for record in payload.split("::") if record]


def main():
    parser = argparse.ArgumentParser(description="Polls a Kestrel server.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=47812)
    parser.add_argument("--count", type=int, default=10, help="polling rounds (default 10)")
    parser.add_argument("--interval", type=float, default=0.5, help="seconds between rounds (default 0.5)")
    parser.add_argument("--timeout", type=float, default=3.0, help="seconds to wait for each answer")
    args = parser.parse_args()

    try:
        connection = KestrelConnection(args.host, args.port, args.timeout)
    except OSError as error:
        print("cannot connect to %s:%d: %s" % (args.host, args.port, error), file=sys.stderr)
        return 3
    try:
        print("server  %s" % connection.request(2))
        print("loco    %s" % connection.request(5))

        listing = connection.text("GetControllerListExtended(JSON)<END>", is_json)
        controllers = json.loads(listing.decode("utf-8"))["controller"]
        names = {}
        for controller in controllers:
            names[str(controller["ID"])] = controller["Name"]
            print("%5d  %-30s %6d .. %d" % (controller["ID"], controller["Name"], controller["Min"], controller["Max"]))

        ids = ":".join(str(controller["ID"]) for controller in controllers[:4])
        for round_number in range(args.count):
            if round_number:
                time.sleep(args.interval)
            values = parse_values(connection.request(6, ids))
            stamp = time.strftime("%H:%M:%S")
            print(stamp + "  " + "  ".join("%s=%s" % (names.get(i, i), v) for i, v in values), flush=True)
    except socket.timeout:
        print("no answer within %g s" % args.timeout, file=sys.stderr)
        return 4
    except (ProtocolError, ValueError, KeyError) as error:
        print("unexpected answer: %s" % error, file=sys.stderr)
        return 5
    finally:
        connection.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
