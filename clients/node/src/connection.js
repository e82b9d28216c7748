import { Duplex } from 'node:stream';

import { ConnectionClosed, WriteFailed } from './errors.js';

// Bytes per "send" command. Larger sends cost the bridge fewer lines; this keeps one line
// near 22 KB.
export const sendSize = 16 * 1024;

// The open serial-port connection as a byte stream. The bridge announces data in events cut
// anywhere, so the stream keeps no boundaries: framing belongs to the host.
export class Connection extends Duplex {
  #bridge;
  #closed = false;
  #disconnectSent = false;
  #finalCallback = null;
  #held = false;

  constructor(bridge, addr) {
    super({ allowHalfOpen: false, readableHighWaterMark: 256 * 1024 });
    this.#bridge = bridge;
    this.addr = addr;
    // The closed event's reason, once the bridge has reported the end.
    this.closeReason = null;
  }

  _read() {
    this.#release();
  }

  _write(chunk, encoding, callback) {
    if (this.#closed) {
      callback(new ConnectionClosed(this.closeReason));
      return;
    }
    let fits = true;
    for (let at = 0; at < chunk.length; at += sendSize) {
      const piece = chunk.subarray(at, at + sendSize);
      fits = this.#bridge._writeLine(`{"t":"send","b64":"${piece.toString('base64')}"}\n`);
    }
    if (fits) callback();
    else this.#bridge._whenDrained(callback);
  }

  // end() disconnects; the stream finishes once the bridge reports the connection closed, so
  // every data event before that still arrives.
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
    if (!this.#closed) this.#disconnect();
    callback(error);
  }

  #disconnect() {
    if (this.#disconnectSent) return;
    this.#disconnectSent = true;
    this.#bridge._command({ t: 'disconnect' });
  }

  // Read backpressure holds the bridge's output; nothing may keep holding it once the host
  // has stopped listening or is waiting for the end.
  #release() {
    if (this.#held) {
      this.#held = false;
      this.#bridge._holdOutput(false);
    }
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

  // A write failed on the bridge: bytes are lost, so the stream cannot go on as if whole.
  _writeFailed(text) {
    if (this.destroyed || this.#closed) return false;
    this.destroy(new WriteFailed(text));
    return true;
  }

  // The bridge reported the end: by the phone, the link, or our own disconnect.
  _ended(reason) {
    this.#closed = true;
    this.closeReason = reason;
    this.#release();
    if (!this.destroyed) this.push(null);
    const callback = this.#finalCallback;
    this.#finalCallback = null;
    callback?.();
  }

  // The bridge process ended under the connection.
  _lost(error) {
    this.#closed = true;
    this.#held = false;
    const callback = this.#finalCallback;
    this.#finalCallback = null;
    if (callback) {
      if (!this.destroyed) this.push(null);
      callback();
    } else if (error) {
      this.destroy(error);
    } else if (!this.destroyed) {
      this.push(null);
    }
  }

  // A connect the caller gave up on that succeeded anyway: close it at once.
  _abandon() {
    this.destroy();
  }
}
