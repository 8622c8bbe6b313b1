#!/usr/bin/python3
"""A misbehaving SMTP backend for the fault matrix: one listener on 127.0.0.1
that misbehaves in the one way its mode names, on every connection, until it
is killed.  Prints "port N" once it listens.  Modes:
  full-backlog  listens with a backlog of 0 that its own connection fills, never accepts
  drip-banner   sends its banner one byte every 200 ms, then answers normally
  helo-silence  greets, then reads and never answers
  never-read    greets, answers HELO and MAIL FROM, then neither reads nor answers
  rcpt-reset    answers RCPT TO with a connection reset
  rcpt-close-mid  answers RCPT TO with half a reply, then closes
  rcpt-four     answers RCPT TO with "250\\n" (four bytes)
  rcpt-huge     answers RCPT TO with 1 MiB of continuation lines
  rcpt-split-150us, rcpt-split-2ms  answer RCPT TO in two pieces that far apart
                (550 for local parts starting with "unknown", else 250)
  rcpt-extra    answers RCPT TO with its reply and an unasked line after it
"""
import socket
import struct
import sys
import threading
import time


def verdict(line):
    address = line.split(b"<", 1)[-1].split(b">", 1)[0]
    if address.startswith(b"unknown"):
        return b"550 5.1.1 unknown user\r\n"
    return b"250 2.1.5 Ok\r\n"


def lines(conn):
    pending = b""
    while True:
        data = conn.recv(65536)
        if not data:
            return
        pending += data
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            yield line.rstrip(b"\r")


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def serve(conn, mode):
    try:
        if mode == "drip-banner":
            for byte in b"220 drip.test ESMTP\r\n":
                conn.sendall(bytes([byte]))
                time.sleep(0.2)
        else:
            conn.sendall(b"220 fault.test ESMTP\r\n")
        if mode == "helo-silence":
            for _ in lines(conn):
                pass
            return
        for line in lines(conn):
            verb = line[:4].upper()
            if verb in (b"HELO", b"EHLO", b"MAIL", b"RSET", b"NOOP"):
                conn.sendall(b"250 Ok\r\n")
                if verb == b"MAIL" and mode == "never-read":
                    threading.Event().wait()  # holds the connection, reads nothing
            elif verb == b"QUIT":
                conn.sendall(b"221 Bye\r\n")
                return
            elif verb == b"RCPT":
                if mode == "rcpt-reset":
                    reset(conn)
                    return
                if mode == "rcpt-close-mid":
                    conn.sendall(b"250 2.1")
                    conn.close()
                    return
                if mode == "rcpt-four":
                    conn.sendall(b"250\n")
                elif mode == "rcpt-huge":
                    conn.sendall((b"250-" + b"x" * 1019 + b"\r\n") * 1024)
                elif mode.startswith("rcpt-split-"):
                    reply = verdict(line)
                    conn.sendall(reply[:5])
                    time.sleep(0.00015 if mode.endswith("150us") else 0.002)
                    conn.sendall(reply[5:])
                elif mode == "rcpt-extra":
                    conn.sendall(verdict(line) + b"250 2.1.5 unasked\r\n")
                else:
                    conn.sendall(verdict(line))
            else:
                conn.sendall(b"502 5.5.2 Error\r\n")
    except OSError:
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def main():
    mode = sys.argv[1]
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    if mode == "full-backlog":
        listener.listen(0)
        fillers = []
        for _ in range(8):  # the queue holds one or two; the rest stay half-open
            filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            filler.setblocking(False)
            filler.connect_ex(("127.0.0.1", port))
            fillers.append(filler)
        print(f"port {port}", flush=True)
        threading.Event().wait()
    listener.listen(128)
    print(f"port {port}", flush=True)
    while True:
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=serve, args=(conn, mode), daemon=True).start()


if __name__ == "__main__":
    main()
