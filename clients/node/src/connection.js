import { Duplex } from 'node:stream';

import { ConnectionClosed, fromEvent } from './errors.js';

// Bytes per "send" command (at most the window): several in the window keep the phone's link
// busy while acknowledgements come back; larger ones cost the client more copies (measured).
export const sendSize = 64 * 1024;

// One serial-port connection as a byte stream. The bridge cuts data events anywhere, so the
// stream keeps no boundaries: framing belongs to the host.
//
// Writes: a write's callback fires once the bridge has reported every byte of it stored by the
// platform ("sent"); at most the bridge's window is accepted and not yet stored at any time, so
// the bridge never refuses a send and its memory stays bounded. Node hands the next buffered
// writes over only after that callback, all at once (_writev).
export class Connection extends Duplex {
  #bridge;
  #window;
  #pieceSize;
  #closed = false;
  #disconnectSent = false;
  #finalCallback = null;
  #held = false;
  #gone;
  #markGone;

  // The writes handed over and not yet acknowledged.
  #pieces = []; // waiting for room in the window
  #inFlight = 0; // bytes sent and not yet acknowledged
  #unacked = new Set(); // ids of those sends
  #batch = null; // { left: sends not yet acknowledged, callback }
  #failure = null; // the first send the bridge failed

  constructor(bridge, addr, window) {
    super({
      allowHalfOpen: false,
      readableHighWaterMark: 256 * 1024,
      // Writes gather while a batch is on its way, so the next batch keeps the window full.
      writableHighWaterMark: window,
    });
    this.#bridge = bridge;
    this.#window = window;
    this.#pieceSize = Math.max(1, Math.min(sendSize, window));
    this.addr = addr;
    // How the connection ended, once the bridge has said: HOST_CLOSED, PHONE_CLOSED, LINK_LOST,
    // ADAPTER_OFF; and the bridge's Russian reason.
    this.closeCode = null;
    this.closeReason = null;
    this.#gone = new Promise((resolve) => (this.#markGone = resolve));
  }

  _read() {
    this.#release();
  }

  _write(chunk, encoding, callback) {
    this._writev([{ chunk }], callback);
  }

  _writev(chunks, callback) {
    if (this.#closed) {
      callback(this.#closedError());
      return;
    }
    // Small writes share a send; large ones are cut.
    let pending = [];
    let pendingSize = 0;
    const flush = () => {
      if (!pendingSize) return;
      this.#pieces.push(pending.length === 1 ? pending[0] : Buffer.concat(pending, pendingSize));
      pending = [];
      pendingSize = 0;
    };
    for (const { chunk } of chunks) {
      for (let at = 0; at < chunk.length; ) {
        const piece = chunk.subarray(at, at + this.#pieceSize - pendingSize);
        pending.push(piece);
        pendingSize += piece.length;
        at += piece.length;
        if (pendingSize === this.#pieceSize) flush();
      }
    }
    flush();
    if (!this.#pieces.length) {
      callback();
      return;
    }
    this.#batch = { left: this.#pieces.length, callback };
    this.#pump();
  }

  #pump() {
    if (this.#closed) return;
    while (this.#pieces.length && this.#inFlight + this.#pieces[0].length <= this.#window) {
      const piece = this.#pieces.shift();
      this.#inFlight += piece.length;
      const id = this.#bridge._send(this.addr, piece, (event) => this.#onSendAnswer(id, piece.length, event));
      this.#unacked.add(id);
    }
  }

  #onSendAnswer(id, size, event) {
    this.#unacked.delete(id);
    if (event.t !== 'sent') {
      // Bytes are lost from the middle of the stream: it cannot go on as if whole. The bridge
      // also fails the sends still waiting when a connection closes, just before its closed
      // event; either way the stream ends at that event, after the bytes received.
      this.#failure ??= fromEvent(event);
      this.#pieces = [];
      if (!this.#bridge._closing) this.#disconnect();
      return;
    }
    this.#inFlight -= size;
    const batch = this.#batch;
    if (batch && --batch.left === 0) {
      this.#batch = null;
      batch.callback();
    }
    this.#pump();
  }

  // end() waits for every write to be stored, then disconnects; the stream finishes once the
  // bridge reports the connection closed, so every data event before that still arrives.
  _final(callback) {
    if (this.#closed) {
      callback();
      return;
    }
    this.#finalCallback = callback;
    this.#release();
    this.#disconnect();
  }

  _destroy(error, callback) {
    this.#finalCallback = null;
    this.#release();
    // The unstored write fails only once the stream has closed: failing it now would make its
    // error the stream's.
    const batch = this.#batch;
    const failure = this.#failure ?? this.#closedError();
    this.#dropWrites();
    if (batch) setImmediate(() => batch.callback(failure));
    if (!this.#closed) this.#disconnect();
    callback(error);
  }

  #disconnect() {
    if (this.#disconnectSent) return;
    this.#disconnectSent = true;
    // Its answer is the closed event (below), or NOT_CONNECTED when the connection had ended
    // meanwhile, whose own closed event then ends the stream.
    this.#bridge._disconnect(this.addr);
  }

  // Read backpressure holds the bridge's output; nothing may keep holding it once the host
  // has stopped listening or is waiting for the end.
  #release() {
    if (this.#held) {
      this.#held = false;
      this.#bridge._holdOutput(false);
    }
  }

  // Writes not stored when the connection ends are not the host's to wait for any more; the
  // late answers of their sends are dropped by the bridge's call table.
  #dropWrites() {
    this.#pieces = [];
    this.#inFlight = 0;
    for (const id of this.#unacked) this.#bridge._forget(id);
    this.#unacked.clear();
    this.#batch = null;
  }

  #closedError() {
    return new ConnectionClosed(this.closeReason, this.closeCode, this.addr);
  }

  // Resolves once the bridge holds nothing of this connection any more.
  _gone() {
    return this.#gone;
  }

  // Called by the bridge. Returns false when the bytes had nowhere to go.
  _data(bytes) {
    if (this.destroyed || this.readableEnded || this.#closed) return false;
    if (!this.push(bytes) && !this.#finalCallback && !this.#held) {
      this.#held = true;
      this.#bridge._holdOutput(true);
    }
    return true;
  }

  // The bridge reported the end: by the host, the phone, the link or the adapter. Writes left
  // unstored then fail, after the bytes received have been read: with an 'error', unless the
  // host is closing the bridge (`quiet`), when they are dropped as destroy() drops them.
  _ended(code, reason, quiet = false) {
    this.#closed = true;
    this.closeCode ??= code;
    this.closeReason ??= reason;
    this.#markGone();
    this.#release();
    if (this.destroyed) return;
    this.push(null);
    const callback = this.#finalCallback;
    this.#finalCallback = null;
    callback?.();
    if (!this.#batch) return;
    const fail = () => (quiet ? this.destroy() : this.destroy(this.#failure ?? this.#closedError()));
    if (this.readableLength === 0 && !this.readableFlowing) fail();
    else this.once('end', fail);
  }

  // The bridge process ended under the connection: an error when it died, else the host
  // closed it.
  _lost(error) {
    this.#held = false;
    if (error) {
      this.#closed = true;
      this.#markGone();
      this.destroy(error);
    } else {
      this._ended(null, null, true);
    }
  }
}
