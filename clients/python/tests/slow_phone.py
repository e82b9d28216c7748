"""A phone that reads slowly: listens on a Unix socket, checks every byte against the pattern
the test writes, and prints how many arrived and whether they all matched."""
import random
import socket
import sys
import time

PATTERN_SIZE = (1 << 20) + 7  # not a multiple of any send, so a reordering shows


def pattern(seed: int) -> bytes:
    return random.Random(seed).randbytes(PATTERN_SIZE)


def main(path: str, seed: int, piece: int, pause: float) -> None:
    expected = pattern(seed) * 2
    server = socket.socket(socket.AF_UNIX)
    server.bind(path)
    server.listen(1)
    print("listening", flush=True)
    link, _ = server.accept()
    received, mismatch = 0, None
    while True:
        data = link.recv(piece)
        if not data:
            break
        at = received % PATTERN_SIZE
        if mismatch is None and data != expected[at:at + len(data)]:
            mismatch = received
        received += len(data)
        time.sleep(pause)
    print(f"received {received} mismatch {mismatch}", flush=True)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]))
