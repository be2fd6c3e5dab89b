#!/usr/bin/env python3
"""A scripted TLS server for the TLS channel tests.

Usage: tls_test_peer.py MODE PORT CERT KEY [CLIENTS]

Listens on 127.0.0.1:PORT (0: a port the system chooses), prints "LISTENING
<port>", then serves CLIENTS clients
(default 1) one after another. The TLS layer runs over memory BIOs, so the
script sees every byte the client sends, also after the TLS session ended.

Modes:
  stall       after the handshake, send only the first half of the TLS record
              carrying one line, print "HALF SENT" and keep the connection
              open (never sending the rest) until the client goes away.
  count-close after the handshake, read everything the client sends until it
              closes the TCP connection; print
              "CLIENT <i> CLOSE_NOTIFY <n> EXTRA <bytes>" with the number of
              close_notify alerts and the bytes that followed the first one.
  clean-close send "bye" CR LF, then a close_notify, then close the socket.
  ragged-close send "bye" CR LF, then close the socket without close_notify.
  deaf        after the handshake, print "DEAF" and read nothing more (for
              30 s), so the client's writes fill the socket buffers and stall.

Every wait is bounded by 30 s.
"""
import socket
import ssl
import sys
import time


def pump_out(conn, outgoing):
    data = outgoing.read()
    if data:
        conn.sendall(data)


def handshake(conn, tls, incoming, outgoing):
    while True:
        try:
            tls.do_handshake()
            pump_out(conn, outgoing)
            return True
        except ssl.SSLWantReadError:
            pump_out(conn, outgoing)
            data = conn.recv(65536)
            if not data:
                return False
            incoming.write(data)


def read_until_eof(conn):
    chunks = []
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            data = conn.recv(65536)
        except (socket.timeout, OSError):
            break
        if not data:
            break
        chunks.append(data)
    return b"".join(chunks)


def count_close(tls, incoming, raw):
    """Close_notify alerts in `raw` and the bytes left after the first."""
    incoming.write(raw)
    notifies = 0
    while True:
        try:
            # b"" only once a close_notify has been read.
            if not tls.read(65536):
                notifies = 1
                break
        except ssl.SSLZeroReturnError:
            notifies = 1
            break
        except ssl.SSLWantReadError:
            break  # no close_notify in the bytes received
    extra = incoming.pending
    return notifies, extra


def serve(mode, conn, ctx, index):
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ctx.wrap_bio(incoming, outgoing, server_side=True)
    if not handshake(conn, tls, incoming, outgoing):
        print("CLIENT %d HANDSHAKE FAILED" % index, flush=True)
        return
    if mode == "stall":
        tls.write(b"this line never arrives whole\r\n")
        record = outgoing.read()
        conn.sendall(record[: len(record) // 2])
        print("HALF SENT", flush=True)
        read_until_eof(conn)
        print("CLIENT GONE", flush=True)
    elif mode == "deaf":
        print("DEAF", flush=True)
        time.sleep(30)
    elif mode == "count-close":
        notifies, extra = count_close(tls, incoming, read_until_eof(conn))
        print("CLIENT %d CLOSE_NOTIFY %d EXTRA %d" % (index, notifies, extra), flush=True)
    elif mode in ("clean-close", "ragged-close"):
        tls.write(b"bye\r\n")
        pump_out(conn, outgoing)
        if mode == "clean-close":
            try:
                tls.unwrap()
            except ssl.SSLWantReadError:
                pass
            pump_out(conn, outgoing)
        conn.shutdown(socket.SHUT_WR)
        read_until_eof(conn)
        print("CLIENT %d DONE" % index, flush=True)


def main():
    mode, port, cert, key = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    clients = int(sys.argv[5]) if len(sys.argv) > 5 else 1
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    # No session tickets: the only records after the handshake are the
    # script's own.
    ctx.num_tickets = 0
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", port))
    listener.listen(4)
    listener.settimeout(30)
    print("LISTENING %d" % listener.getsockname()[1], flush=True)
    for index in range(1, clients + 1):
        conn, _ = listener.accept()
        conn.settimeout(30)
        try:
            serve(mode, conn, ctx, index)
        finally:
            conn.close()


if __name__ == "__main__":
    main()
