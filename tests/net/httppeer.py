"""A scripted HTTP peer for the client's tests: one path per behaviour, well-formed or hostile.
Listens on 127.0.0.1 with a port the system chooses, prints that port on the first line of
standard output, and serves every connection on its own thread until it is killed.
Standard library only (run with /usr/bin/python3)."""
import socket
import struct
import sys
import threading
import time


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        part = conn.recv(4096)
        if not part:
            return None, b""
        data += part
    head, _, rest = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(rest) < length:
        part = conn.recv(65536)
        if not part:
            break
        rest += part
    return head, rest


def paced(conn, pieces, pause=0.05):
    for piece in pieces:
        conn.sendall(piece)
        time.sleep(pause)


def reply(path, conn, head, body):
    ok = b"HTTP/1.1 200 OK\r\n"
    if path == "/chunked":
        conn.sendall(ok + b"Transfer-Encoding: chunked\r\n\r\n"
                     b"5\r\nHello\r\n7;ext=1\r\n, world\r\n0\r\n\r\n")
    elif path == "/404":
        conn.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here\n")
    elif path == "/split":
        paced(conn, [b"HT", b"TP/1.1 2", b"00 OK\r\nContent-Le", b"ngth: 5\r", b"\n\r",
                     b"\nhel", b"lo"])
    elif path == "/silence":
        conn.sendall(ok + b"Content-Length: 100\r\n\r\n" + b"x" * 10)
        time.sleep(120)
    elif path == "/trickle":
        conn.sendall(ok + b"Content-Length: 100\r\n\r\n")
        for _ in range(100):
            time.sleep(2)
            conn.sendall(b"x")
    elif path == "/endless":
        conn.sendall(ok + b"\r\n")
        block = b"y" * 65536
        while True:
            conn.sendall(block)
    elif path == "/truncchunk":
        conn.sendall(ok + b"Transfer-Encoding: chunked\r\n\r\nA\r\n12345")
    elif path == "/nozerochunk":
        conn.sendall(ok + b"Transfer-Encoding: chunked\r\n\r\n5\r\n12345\r\n")
    elif path == "/hugechunk":
        conn.sendall(ok + b"Transfer-Encoding: chunked\r\n\r\nFFFFFFF0\r\n" + b"z" * 1000)
        time.sleep(120)
    elif path == "/longchunk":
        conn.sendall(ok + b"Transfer-Encoding: chunked\r\n\r\n1FFFFFFFF\r\n" + b"z" * 1000)
    elif path == "/nonhex":
        conn.sendall(ok + b"Transfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n")
    elif path == "/continue":
        conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n" + ok + b"Content-Length: 2\r\n\r\nok")
    elif path == "/fatal":
        conn.sendall(b"HTTP/1.1 200 [FATAL] OK\x1b[2J\r\nContent-Length: 4\r\n\r\nbody")
    elif path == "/big":
        conn.sendall(ok + b"Content-Length: 6000\r\n\r\n" + b"b" * 6000)
    elif path == "/bighead":
        conn.sendall(ok + b"X-Filler: " + b"h" * 20000 + b"\r\n\r\nbody")
    elif path == "/keepalive":
        conn.sendall(ok + b"Content-Length: 2\r\nConnection: keep-alive\r\n\r\nok")
        time.sleep(60)
    elif path == "/reset":
        conn.sendall(ok + b"Content-Length: 100\r\n\r\n" + b"r" * 10)
        time.sleep(0.2)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    elif path == "/noheadclose":
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-")
    elif path == "/tillclose":
        conn.sendall(b"HTTP/1.0 200 OK\r\n\r\nuntil the end")
    elif path.startswith("/echo"):
        text = head + b"\r\n\r\n" + body
        conn.sendall(ok + b"Content-Length: %d\r\n\r\n" % len(text) + text)
    else:
        conn.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")


def serve(conn):
    try:
        head, body = read_request(conn)
        if head is None:
            return
        target = head.split(b"\r\n")[0].split(b" ")[1].decode()
        path = "/" + target.split("/", 3)[3] if target.startswith("http://") else target
        reply(path, conn, head, body)
    except (BrokenPipeError, ConnectionResetError):
        pass
    finally:
        conn.close()


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
