"""A STOMP peer for the interop suite, built on stomp.py (python3-stomp).

Run with /usr/bin/python3 -P so that nothing but the installed package
answers to "import stomp".

  send    --port P --dest D (--body TEXT | --body-file PATH) [--reply-to R]
          [--header NAME=VALUE ...]
          Sends one message (the file's bytes as they are) and prints "SENT".
  receive --port P --dest D --count N --timeout SECONDS [--ack auto|client] [--no-ack]
          Subscribes and waits for N messages (or the time-out); prints one
          line per message, "MESSAGE <body> <name>=<value> ...", every part
          in hexadecimal so that any byte survives, and then "END <received>". In client mode each message is acknowledged,
          unless --no-ack is given: the connection then closes with the
          messages unacknowledged, and the broker takes them back.
  reply   --port P --dest D --timeout SECONDS
          Answers one request: waits for one message on D and sends
          "Reply: <its body>" to its reply-to; prints "REPLIED <reply-to>".
  request --port P --dest D --body TEXT --reply-to R --timeout SECONDS [--subscribe]
          Asks: sends TEXT to D with reply-to R and waits for one reply on the
          same connection (subscribing to R first with --subscribe, for
          brokers that do not subscribe a temporary reply queue themselves);
          prints it as "receive" does, then "END <received>".
All take --version 1.0|1.1|1.2 (default 1.0) and --vhost (the "host" of
1.1 and 1.2; default the broker's address). Header values are escaped and
read back by the version's rules.
Every line is flushed at once; errors print "FAILED <text>" and exit 1.
"""
import argparse
import sys
import threading
import time

import stomp


def emit(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class Collector(stomp.ConnectionListener):
    def __init__(self):
        self.frames = []
        self.errors = []
        self.changed = threading.Condition()

    def on_message(self, frame):
        with self.changed:
            self.frames.append(frame)
            self.changed.notify_all()

    def on_error(self, frame):
        with self.changed:
            self.errors.append(frame.headers.get("message", ""))
            self.changed.notify_all()


def connect(port, listener=None, version="1.0", vhost=None):
    # auto_decode off: bodies stay bytes, exactly as they came off the wire.
    hosts = [("127.0.0.1", port)]
    if version == "1.0":
        conn = stomp.Connection10(hosts, auto_decode=False)
    else:
        kind = stomp.Connection11 if version == "1.1" else stomp.Connection12
        conn = kind(hosts, auto_decode=False, vhost=vhost, heartbeats=(0, 0))
    if listener is not None:
        conn.set_listener("collector", listener)
    conn.connect(wait=True)
    return conn


def body_bytes(body):
    return body if isinstance(body, bytes) else body.encode("utf-8")


def send(args):
    headers = {}
    for item in args.header or []:
        name, _, value = item.partition("=")
        headers[name] = value
    if args.reply_to:
        headers["reply-to"] = args.reply_to
    body = args.body
    if args.body_file:
        with open(args.body_file, "rb") as f:
            body = f.read()
    conn = connect(args.port, version=args.version, vhost=args.vhost)
    conn.send(args.dest, body, headers=headers)
    conn.disconnect()
    emit("SENT")


def wait_for(collector, count, timeout):
    """The first count frames (fewer at the time-out or an error) and the errors."""
    deadline = time.monotonic() + timeout
    with collector.changed:
        while len(collector.frames) < count and not collector.errors:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            collector.changed.wait(left)
        return list(collector.frames[:count]), list(collector.errors)


def emit_message(frame):
    parts = ["MESSAGE", body_bytes(frame.body).hex() or "-"]
    for name, value in frame.headers.items():
        parts.append(name.encode("utf-8").hex() + "=" + value.encode("utf-8").hex())
    emit(" ".join(parts))


def finish(conn, frames, errors):
    conn.disconnect()
    for error in errors:
        emit("ERROR " + error)
    emit("END %d" % len(frames))


def receive(args):
    collector = Collector()
    conn = connect(args.port, collector, args.version, args.vhost)
    conn.subscribe(args.dest, id="peer", ack=args.ack)
    frames, errors = wait_for(collector, args.count, args.timeout)
    for frame in frames:
        if args.ack == "client" and not args.no_ack:
            if args.version == "1.2":
                conn.ack(frame.headers["ack"])
            elif args.version == "1.1":
                conn.ack(frame.headers["message-id"], frame.headers["subscription"])
            else:
                conn.ack(frame.headers["message-id"])
        emit_message(frame)
    finish(conn, frames, errors)


def reply(args):
    collector = Collector()
    conn = connect(args.port, collector, args.version, args.vhost)
    conn.subscribe(args.dest, id="peer", ack="auto")
    frames, errors = wait_for(collector, 1, args.timeout)
    if not frames:
        raise RuntimeError("no request arrived %s" % errors)
    request = frames[0]
    reply_to = request.headers["reply-to"]
    conn.send(reply_to, b"Reply: " + body_bytes(request.body))
    conn.disconnect()
    emit("REPLIED " + reply_to)


def request(args):
    collector = Collector()
    conn = connect(args.port, collector, args.version, args.vhost)
    if args.subscribe:
        conn.subscribe(args.reply_to, id="replies", ack="auto")
    conn.send(args.dest, args.body, headers={"reply-to": args.reply_to})
    emit("SENT")
    frames, errors = wait_for(collector, 1, args.timeout)
    for frame in frames:
        emit_message(frame)
    finish(conn, frames, errors)


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    s = sub.add_parser("send")
    s.add_argument("--port", type=int, required=True)
    s.add_argument("--dest", required=True)
    s.add_argument("--body", default="")
    s.add_argument("--body-file")
    s.add_argument("--reply-to")
    s.add_argument("--header", action="append")
    r = sub.add_parser("receive")
    r.add_argument("--port", type=int, required=True)
    r.add_argument("--dest", required=True)
    r.add_argument("--count", type=int, default=1)
    r.add_argument("--timeout", type=float, default=10.0)
    r.add_argument("--ack", choices=["auto", "client"], default="auto")
    r.add_argument("--no-ack", action="store_true")
    a = sub.add_parser("reply")
    a.add_argument("--port", type=int, required=True)
    a.add_argument("--dest", required=True)
    a.add_argument("--timeout", type=float, default=10.0)
    q = sub.add_parser("request")
    q.add_argument("--port", type=int, required=True)
    q.add_argument("--dest", required=True)
    q.add_argument("--body", default="")
    q.add_argument("--reply-to", required=True)
    q.add_argument("--timeout", type=float, default=10.0)
    q.add_argument("--subscribe", action="store_true")
    for p in (s, r, a, q):
        p.add_argument("--version", choices=["1.0", "1.1", "1.2"], default="1.0")
        p.add_argument("--vhost")
    args = parser.parse_args()
    commands = {"send": send, "receive": receive, "reply": reply, "request": request}
    try:
        commands[args.command](args)
    except Exception as error:  # reported to the test as one line
        emit("FAILED %s: %s" % (type(error).__name__, error))
        sys.exit(1)


if __name__ == "__main__":
    main()
