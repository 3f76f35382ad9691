#!/usr/bin/env python3
# Abusive clients against the runner's HTTP endpoint on loopback, and what a
# legitimate client from another address sees meanwhile. Prints one line per
# phase: answered/asked of the probe, the runner's RSS (MB) before, during, and
# SETTLE seconds after the abusers go.
#   bench/http_abuse.py PORT PID slow|streams CLIENTS SECONDS SETTLE
# slow: CLIENTS clients from 127.0.0.1 each sending a byte of a request every
# 3 s, replaced when the server cuts them. streams: CLIENTS event-stream
# clients from 127.0.0.1 that never read. The probe asks /metrics from
# 127.0.0.2 every 0.25 s.
import socket
import sys
import threading
import time

port, pid, mode = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
clients, seconds, settle = int(sys.argv[4]), float(sys.argv[5]), float(sys.argv[6])
stop = threading.Event()


def rss_mb():
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return -1


def connect(source):
    s = socket.socket()
    s.bind((source, 0))
    s.settimeout(10)
    s.connect(("127.0.0.1", port))
    return s


def slow_client():
    request = b"GET /metrics HTTP/1.1\r\nHost: h\r\nX-Slow: " + b"x" * 1000
    while not stop.is_set():
        s = None
        try:
            s = connect("127.0.0.1")
            for b in request:
                if stop.wait(3):
                    break
                s.send(bytes([b]))
        except OSError:
            time.sleep(0.05)  # cut by the server: replaced at once
        finally:
            if s:
                s.close()


def stream_client(held):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.bind(("127.0.0.1", 0))
    s.connect(("127.0.0.1", port))
    s.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: h\r\n\r\n")
    held.append(s)


def probe(results):
    while not stop.is_set():
        ok = False
        try:
            s = connect("127.0.0.2")
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n")
            ok = s.recv(12).startswith(b"HTTP/1.1 200")
            s.close()
        except OSError:
            pass
        results.append(ok)
        stop.wait(0.25)


before = rss_mb()
results, held, threads = [], [], []
if mode == "slow":
    threads = [threading.Thread(target=slow_client) for _ in range(clients)]
    for t in threads:
        t.start()
else:
    for _ in range(clients):
        stream_client(held)
time.sleep(1)
prober = threading.Thread(target=probe, args=(results,))
prober.start()
peak = before
end = time.time() + seconds
while time.time() < end:
    peak = max(peak, rss_mb())
    time.sleep(0.5)
stop.set()
prober.join()
for t in threads:
    t.join()
for s in held:
    s.close()
time.sleep(settle)
print(f"{mode}: {sum(results)}/{len(results)} probe answers 200; RSS {before:.1f} MB before, "
      f"{peak:.1f} MB at most, {rss_mb():.1f} MB {settle:.0f} s after")
