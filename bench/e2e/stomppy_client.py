#!/usr/bin/python3
"""The stomp.py side of the end-to-end benchmark: the same work as the other
clients, done through the Python client stomp.py (STOMP 1.0 connection).

  stomppy_client.py --Work=produce|receive|listen --Host=H --Port=P
                    --Count=N --Queue=NAME [--Size=255]

produce: N non-persistent text messages of Size characters to jms.queue.NAME.
receive: N messages from jms.queue.NAME, each taken with a 1000 ms wait, as a
         receive loop does (stomp.py only delivers to listeners, so the
         listener hands frames to the loop through a queue).
listen:  N messages counted in the listener itself.
rr:      N request/reply round trips: a request to jms.queue.NAME.req, the
         answer from jms.queue.NAME.rep, given by a responder on a second
         connection; prints "latency <p50 ns> <p99 ns> <p99.9 ns>" as well.

Prints one line "ok <count> <elapsed ns>" on success (elapsed from after the
CONNECTED reply to the last message sent or received), else "fail <text>".
"""
import queue
import sys
import threading
import time

import stomp


def main():
    opts = {"Size": "255"}
    for arg in sys.argv[1:]:
        if arg.startswith("--") and "=" in arg:
            name, value = arg[2:].split("=", 1)
            opts[name] = value
    work = opts["Work"]
    count = int(opts["Count"])
    destination = "jms.queue." + opts["Queue"]
    conn = stomp.Connection10([(opts["Host"], int(opts["Port"]))])

    if work == "rr":
        return request_reply(opts, count)

    if work == "produce":
        conn.connect(wait=True)
        body = "x" * int(opts["Size"])
        start = time.perf_counter_ns()
        for _ in range(count):
            conn.send(destination=destination, body=body)
        elapsed = time.perf_counter_ns() - start
        conn.disconnect()
        print("ok %d %d" % (count, elapsed), flush=True)
        return 0

    inbox = queue.SimpleQueue()
    done = threading.Event()
    received = [0]

    class Listener(stomp.ConnectionListener):
        def on_message(self, frame):
            if work == "receive":
                inbox.put(frame)
            else:
                received[0] += 1
                if received[0] == count:
                    done.set()

    conn.set_listener("bench", Listener())
    conn.connect(wait=True)
    start = time.perf_counter_ns()
    conn.subscribe(destination=destination, id="stomppy-1", ack="auto")
    if work == "receive":
        got = 0
        while got < count:
            try:
                inbox.get(timeout=1.0)
            except queue.Empty:
                break
            got += 1
        received[0] = got
    else:
        # The whole run must finish within a generous deadline.
        done.wait(timeout=max(60.0, count / 5000.0))
    elapsed = time.perf_counter_ns() - start
    conn.disconnect()
    if received[0] != count:
        print("fail received %d of %d" % (received[0], count), flush=True)
        return 1
    print("ok %d %d" % (count, elapsed), flush=True)
    return 0


def request_reply(opts, count):
    host = [(opts["Host"], int(opts["Port"]))]
    request = "jms.queue." + opts["Queue"] + ".req"
    reply = "jms.queue." + opts["Queue"] + ".rep"
    answer = "y" * int(opts["Size"])
    responder = stomp.Connection10(host)

    class Responder(stomp.ConnectionListener):
        def on_message(self, frame):
            responder.send(destination=reply, body=answer)

    responder.set_listener("responder", Responder())
    responder.connect(wait=True)
    responder.subscribe(destination=request, id="stomppy-req", ack="auto")

    inbox = queue.SimpleQueue()

    class Requester(stomp.ConnectionListener):
        def on_message(self, frame):
            inbox.put(frame)

    conn = stomp.Connection10(host)
    conn.set_listener("requester", Requester())
    conn.connect(wait=True)
    conn.subscribe(destination=reply, id="stomppy-rep", ack="auto")
    body = "x" * int(opts["Size"])
    samples = []
    start = time.perf_counter_ns()
    for _ in range(count):
        sent = time.perf_counter_ns()
        conn.send(destination=request, body=body)
        try:
            inbox.get(timeout=5.0)
        except queue.Empty:
            break
        samples.append(time.perf_counter_ns() - sent)
    elapsed = time.perf_counter_ns() - start
    conn.disconnect()
    responder.disconnect()
    if len(samples) != count:
        print("fail answered %d of %d" % (len(samples), count), flush=True)
        return 1
    samples.sort()

    def at(q):
        return samples[min(int(q * (len(samples) - 1) + 0.5), len(samples) - 1)]

    print("ok %d %d\nlatency %d %d %d" % (count, elapsed, at(0.5), at(0.99), at(0.999)), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
