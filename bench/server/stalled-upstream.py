#!/usr/bin/env python3
"""quote-server --source twse against an upstream that drips its answer's header, one byte every
2 s, on loopback: how long page requests for new codes wait, how many upstream requests go out
in any 5 s, and the server's open descriptors before, while 60 page requests wait, and after
their clients have gone (both when they wait for the answer and when they leave early).

    bench/server/stalled-upstream.py build/server/quote-server
"""
import os, socket, subprocess, sys, threading, time

def drip_upstream(stop, connections):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    listener.settimeout(0.2)
    clients = []
    def run():
        header = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nX-Padding: " + b"x" * 100000
        last = 0
        while not stop.is_set():
            try:
                c, _ = listener.accept()
                clients.append([c, 0])
                connections.append(time.monotonic())
            except socket.timeout:
                pass
            if time.monotonic() - last >= 2:
                last = time.monotonic()
                for entry in clients:
                    try:
                        entry[0].send(header[entry[1]:entry[1] + 1])
                        entry[1] += 1
                    except OSError:
                        pass
        for c, _ in clients:
            c.close()
        listener.close()
    threading.Thread(target=run, daemon=True).start()
    return listener.getsockname()[1]

def fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))

def ask(port, code, leave_after=None):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(f"GET /q/q?s={code} HTTP/1.0\r\nHost: x\r\n\r\n".encode())
    start = time.monotonic()
    if leave_after is not None:
        time.sleep(leave_after)
        s.close()
        return None, None
    s.settimeout(60)
    data = b""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except socket.timeout:
        pass
    s.close()
    unavailable = "暫時無法取得報價".encode("big5") in data
    return time.monotonic() - start, unavailable

def status(port):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /status HTTP/1.0\r\n\r\n")
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    s.close()
    return data.split(b"\r\n\r\n", 1)[-1].decode()

def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/server/quote-server"
    stop = threading.Event()
    connections = []
    up = drip_upstream(stop, connections)
    server = subprocess.Popen([binary, "--source", "twse", "--port", "0", "--upstream",
                               f"http://127.0.0.1:{up}/stock/api/getStockInfo.jsp"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = server.stdout.readline()
    port = int(line.split(":")[-1].split()[0])
    time.sleep(0.5)
    print("descriptors at start:", fds(server.pid))

    # 60 page requests that wait for their answer and 60 whose clients leave after a second,
    # all for codes the server has no quote of yet.
    results = []
    threads = [threading.Thread(target=lambda i=i: results.append(ask(port, str(2000 + i)))) for i in range(60)]
    threads += [threading.Thread(target=ask, args=(port, str(3000 + i), 1.0)) for i in range(60)]
    for t in threads:
        t.start()
    time.sleep(0.7)
    print("descriptors while 120 page requests wait:", fds(server.pid))
    time.sleep(1.3)
    print("descriptors a second after 60 of their clients left:", fds(server.pid))
    for t in threads:
        t.join()
    waits = sorted(r[0] for r in results)
    print(f"60 page requests answered in {waits[0]:.1f} to {waits[-1]:.1f} s, "
          f"{sum(1 for r in results if r[1])} with the unavailable page")
    time.sleep(1)
    print("descriptors after they were answered:", fds(server.pid))

    time.sleep(25)
    print("status:", status(port))
    most = max(sum(1 for b in connections if a <= b < a + 5) for a in connections) if connections else 0
    print(f"upstream requests: {len(connections)} in {connections[-1] - connections[0]:.0f} s, "
          f"at most {most} in any 5 s")
    server.terminate()
    server.wait()
    stop.set()

def sessionless_upstream(times):
    """A service that never answers with msgArray, however often a session is opened: the most
    requests the gateway can be made to send."""
    import http.server
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            times.append(time.monotonic())
            body = b'{"rtcode":"0000","rtmessage":"OK","userDelay":5000}'
            self.send_response(200)
            if self.path.startswith("/stock/index.jsp"):
                self.send_header("Set-Cookie", "JSESSIONID=x; Path=/")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        def log_message(self, *args):
            pass
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server

def most_within(times, span):
    return max(sum(1 for b in times if a <= b < a + span) for a in times) if times else 0

def rate():
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/server/quote-server"
    times = []
    up = sessionless_upstream(times)
    server = subprocess.Popen([binary, "--source", "twse", "--port", "0", "--upstream",
                               f"http://127.0.0.1:{up.server_address[1]}/stock/api/getStockInfo.jsp"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = int(server.stdout.readline().split(":")[-1].split()[0])
    for i in range(120):  # more codes than one request carries
        threading.Thread(target=ask, args=(port, str(4000 + i), 0.5), daemon=True).start()
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        threading.Thread(target=ask, args=(port, "4000", 0.1), daemon=True).start()
        time.sleep(1)
    server.terminate()
    server.wait()
    up.shutdown()
    print(f"service that wants a session every time: {len(times)} requests in 30 s, "
          f"at most {most_within(times, 5.0)} in any 5 s")

main()
rate()
