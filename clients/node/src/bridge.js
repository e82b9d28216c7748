import { EventEmitter } from 'node:events';
import { rmSync } from 'node:fs';
import { StringDecoder } from 'node:string_decoder';

import { Connection } from './connection.js';
import { BridgeExited, connectError, pairError, texts } from './errors.js';
import { Turns } from './turns.js';

// How long close() lets the bridge end on its own before it is killed.
const closeGraceMs = 5000;

function whenAborted(signal, onAbort) {
  if (!signal) return () => {};
  signal.addEventListener('abort', onAbort, { once: true });
  return () => signal.removeEventListener('abort', onAbort);
}

export class Bridge extends EventEmitter {
  // The "backend" of the ready event ("windows" for the simulated radio too).
  backend = null;
  // The bridge's standard error (the Russian log); also delivered line by line to onLog.
  stderr;

  #child;
  #options;
  #worldDir;
  #stdoutRest = Buffer.alloc(0);
  #stderrRest = '';
  #stderrDecoder = new StringDecoder('utf8');
  #logTail = [];
  #readyWaiter = null;
  #exited = null;
  #exitedPromise;
  #closing = false;
  #spawnError = null;
  #holds = 0;
  #ending = false; // closed by the host or exited: the output is read to its end

  #scanTurns = new Turns();
  #pairTurns = new Turns();
  #connectTurns = new Turns();
  #scan = null; // the scan whose device events arrive now
  #pair = null; // the pair command sent and not yet answered
  #connect = null; // the connect command sent and not yet answered
  #connection = null; // open until its closed event; holds the connect turn

  constructor(child, options, worldDir) {
    super();
    this.#child = child;
    this.#options = options;
    this.#worldDir = worldDir;
    this.stderr = child.stderr;
    this.pid = child.pid;

    child.stdout.on('data', (chunk) => this.#onStdout(chunk));
    child.stderr.on('data', (chunk) => this.#onStderr(chunk));
    // A bridge gone away makes writes fail with EPIPE; its exit says the rest.
    child.stdin.on('error', () => {});
    this.#exitedPromise = new Promise((resolve) => {
      child.on('error', (error) => {
        this.#spawnError = error;
        // A spawn that failed emits no 'close' when it never started.
        if (child.pid === undefined) this.#onExit(null, null, resolve);
      });
      // 'close' waits for the output to be read to its end, which a held reader would stop.
      child.on('exit', () => {
        this.#ending = true;
        child.stdout.resume();
      });
      child.on('close', (code, sig) => this.#onExit(code, sig, resolve));
    });
  }

  get exited() {
    return this.#exited !== null;
  }

  _ready(signal) {
    return new Promise((resolve, reject) => {
      const stop = whenAborted(signal, () => reject(signal.reason));
      this.#readyWaiter = {
        resolve: () => (stop(), resolve()),
        reject: (error) => (stop(), reject(error)),
      };
    });
  }

  // --- scan

  // Device events of one scan, until its scan-done. Scans take turns: "scan-done" names no
  // scan, so a second one starts only after the first has ended.
  scan({ seconds, signal } = {}) {
    return this.#runScan(seconds, signal);
  }

  async *#runScan(seconds, signal) {
    this.#checkRunning();
    const release = await this.#takeTurn(this.#scanTurns, signal);
    const scan = { found: [], done: false, wake: null, abandoned: false, release, error: null };
    this.#scan = scan;
    try {
      this.#checkRunning();
      this.#command(seconds === undefined ? { t: 'scan' } : { t: 'scan', seconds });
    } catch (error) {
      this.#scan = null;
      release();
      throw error;
    }
    try {
      for (;;) {
        signal?.throwIfAborted();
        if (scan.found.length) {
          yield scan.found.shift();
          continue;
        }
        if (scan.error) throw scan.error;
        if (scan.done) return;
        await new Promise((resolve, reject) => {
          const stop = whenAborted(signal, () => reject(signal.reason));
          scan.wake = () => (stop(), resolve());
        });
      }
    } finally {
      if (!scan.done && !scan.error) {
        // The inquiry runs to its end anyway; its devices go to the event hook meanwhile.
        scan.abandoned = true;
        for (const device of scan.found.splice(0)) this.#unanswered({ t: 'device', ...device });
      }
    }
  }

  // --- pair

  // Resolves when the bridge reports the pairing done. One pairing at a time, in call order:
  // the "pairing-code" event names no device, so only one ceremony may be under way.
  async pair(addr, { onPin, signal } = {}) {
    checkAddr(addr);
    this.#checkRunning();
    const release = await this.#takeTurn(this.#pairTurns, signal);
    return new Promise((resolve, reject) => {
      const call = { addr, onPin, release, abandoned: false, stop: null };
      const abandon = (error) => {
        if (call.abandoned) return;
        call.abandoned = true;
        call.stop();
        reject(error);
      };
      call.stop = whenAborted(signal, () => abandon(signal.reason));
      call.resolve = () => (call.stop(), resolve());
      call.reject = (error) => (call.stop(), reject(error));
      call.abandon = abandon;
      try {
        this.#checkRunning();
        this.#pair = call;
        this.#command({ t: 'pair', addr });
      } catch (error) {
        this.#pair = null;
        release();
        call.reject(error);
      }
    });
  }

  // --- connect

  // Resolves with the open Connection. One connection at a time, in call order: the bridge
  // holds one, and its error and closed events name none. A connect called while another
  // connection is open waits until that one has closed.
  async connect(addr, { signal } = {}) {
    checkAddr(addr);
    this.#checkRunning();
    const release = await this.#takeTurn(this.#connectTurns, signal);
    return new Promise((resolve, reject) => {
      const call = { addr, release, errorText: null, abandoned: false };
      const stop = whenAborted(signal, () => {
        call.abandoned = true;
        reject(signal.reason);
      });
      call.resolve = (connection) => (stop(), resolve(connection));
      call.reject = (error) => (stop(), reject(error));
      try {
        this.#checkRunning();
        this.#connect = call;
        this.#command({ t: 'connect', addr });
      } catch (error) {
        this.#connect = null;
        release();
        call.reject(error);
      }
    });
  }

  // The open connection, if any.
  get connection() {
    const stream = this.#connection?.stream;
    return stream && !stream.destroyed ? stream : null;
  }

  // --- end

  // Closes standard input: the bridge disconnects and exits. Resolves with its exit status.
  async close({ timeout = closeGraceMs } = {}) {
    if (this.#exited) return this.#exited.code;
    this.#closing = true;
    this.#ending = true;
    this.#child.stdout.resume();
    this.#child.stdin.end();
    const timer = setTimeout(() => this.#child.kill('SIGKILL'), timeout);
    try {
      await this.#exitedPromise;
    } finally {
      clearTimeout(timer);
    }
    return this.#exited.code;
  }

  async _kill() {
    if (!this.#exited) {
      this.#closing = true;
      this.#child.kill('SIGKILL');
    }
    await this.#exitedPromise;
  }

  // --- used by Connection

  _writeLine(line) {
    return this.#child.stdin.write(line);
  }

  _command(command) {
    if (!this.#exited) this.#command(command);
  }

  _whenDrained(callback) {
    if (this.#exited) {
      callback(this.#exitError());
      return;
    }
    const stdin = this.#child.stdin;
    const done = (error) => {
      stdin.off('drain', onDrain);
      this.off('exit', onExit);
      callback(error);
    };
    const onDrain = () => done();
    const onExit = () => done(this.#exitError());
    stdin.on('drain', onDrain);
    this.on('exit', onExit);
  }

  // A connection whose reader is full stops the bridge's output until it is read again: the
  // pipe then fills and the bridge waits, as a socket's sender would.
  _holdOutput(hold) {
    this.#holds += hold ? 1 : -1;
    if (this.#holds > 0 && !this.#ending) this.#child.stdout.pause();
    else this.#child.stdout.resume();
  }

  // --- internals

  // A signal that fires while the turn is being handed over finds no listener yet.
  async #takeTurn(turns, signal) {
    const release = await turns.take(signal);
    if (signal?.aborted) {
      release();
      throw signal.reason;
    }
    return release;
  }

  #command(command) {
    this.#child.stdin.write(`${JSON.stringify(command)}\n`);
  }

  #checkRunning() {
    if (this.#exited) throw this.#exitError();
    if (this.#closing) throw new BridgeExited(null, null, 'the host closed the bridge');
  }

  #exitError() {
    const { code = null, signal = null } = this.#exited ?? {};
    // A failed start says why in its last log lines.
    const failed = code !== 0 || this.#readyWaiter !== null;
    return new BridgeExited(code, signal, failed ? this.#logTail.join('\n') : '');
  }

  #onStdout(chunk) {
    const data = this.#stdoutRest.length ? Buffer.concat([this.#stdoutRest, chunk]) : chunk;
    let start = 0;
    for (let end = data.indexOf(10); end >= 0; end = data.indexOf(10, start)) {
      let stop = end;
      if (stop > start && data[stop - 1] === 13) stop--;
      if (stop > start) this.#onLine(data.toString('utf8', start, stop));
      start = end + 1;
    }
    this.#stdoutRest = start < data.length ? Buffer.from(data.subarray(start)) : Buffer.alloc(0);
  }

  #onStderr(chunk) {
    const text = this.#stderrRest + this.#stderrDecoder.write(chunk);
    const lines = text.split('\n');
    this.#stderrRest = lines.pop();
    for (const raw of lines) this.#onLogLine(raw.endsWith('\r') ? raw.slice(0, -1) : raw);
  }

  #onLogLine(line) {
    this.#logTail.push(line);
    if (this.#logTail.length > 5) this.#logTail.shift();
    this.#options.onLog?.(line);
  }

  #onLine(line) {
    let event;
    try {
      event = JSON.parse(line);
    } catch {
      this.#unanswered({ t: null, line });
      return;
    }
    switch (event.t) {
      case 'ready':
        return this.#onReady(event);
      case 'device':
        return this.#onDevice(event);
      case 'scan-done':
        return this.#onScanDone(event);
      case 'pairing-code':
        return this.#onPairingCode(event);
      case 'pair-result':
        return this.#onPairResult(event);
      case 'connected':
        return this.#onConnected(event);
      case 'data':
        return this.#onData(event);
      case 'error':
        return this.#onError(event);
      case 'closed':
        return this.#onClosed(event);
      default:
        return this.#unanswered(event);
    }
  }

  // Every event that answers no pending call ends here, so none is lost silently.
  #unanswered(event) {
    this.#options.onEvent?.(event);
    this.emit('event', event);
  }

  #onReady(event) {
    const waiter = this.#readyWaiter;
    if (!waiter) return this.#unanswered(event);
    this.#readyWaiter = null;
    this.backend = event.backend ?? null;
    waiter.resolve();
  }

  #onDevice(event) {
    const scan = this.#scan;
    if (!scan || scan.abandoned) return this.#unanswered(event);
    scan.found.push({ addr: event.addr, name: event.name, paired: event.paired });
    this.#wakeScan(scan);
  }

  #onScanDone(event) {
    const scan = this.#scan;
    if (!scan) return this.#unanswered(event);
    this.#scan = null;
    scan.done = true;
    scan.release();
    if (scan.abandoned) this.#unanswered(event);
    else this.#wakeScan(scan);
  }

  #wakeScan(scan) {
    const wake = scan.wake;
    scan.wake = null;
    wake?.();
  }

  #onPairingCode(event) {
    const call = this.#pair;
    if (!call || call.abandoned || !call.onPin) return this.#unanswered(event);
    // The ceremony goes on in the bridge whatever the callback does; a callback that fails
    // fails the call, and pair() resolves only after an async callback has finished.
    try {
      const result = call.onPin(event.code);
      if (typeof result?.then === 'function') call.pinDone = Promise.resolve(result);
    } catch (error) {
      call.abandon(error);
    }
    call.pinDone?.catch((error) => call.abandon(error));
  }

  #onPairResult(event) {
    const call = this.#pair;
    if (!call || event.addr !== call.addr) return this.#unanswered(event);
    this.#pair = null;
    call.release();
    // The late answer of a call given up on: seen by the hook, matched to nothing else.
    if (call.abandoned) return this.#unanswered(event);
    const outcome = event.ok === true ? null : pairError(String(event.error ?? ''));
    (call.pinDone ?? Promise.resolve()).then(
      () => (outcome ? call.reject(outcome) : call.resolve()),
      () => {},
    );
  }

  #onConnected(event) {
    const call = this.#connect;
    if (!call || event.addr !== call.addr) return this.#unanswered(event);
    this.#connect = null;
    const connection = new Connection(this, call.addr);
    this.#connection = { stream: connection, release: call.release, abandoned: call.abandoned };
    if (call.abandoned) {
      connection._abandon();
      this.#unanswered(event);
    } else {
      call.resolve(connection);
    }
  }

  #onData(event) {
    const open = this.#connection;
    if (!open || !open.stream._data(Buffer.from(event.b64 ?? '', 'base64')))
      this.#unanswered(event);
  }

  #onError(event) {
    const text = String(event.error ?? '');
    // A failed send belongs to the connection, never to a connect under way; it may also
    // come after the closed event of the connection it belonged to.
    if (text === texts.writeFailed) {
      const open = this.#connection;
      if (!open || !open.stream._writeFailed(text)) this.#unanswered(event);
      return;
    }
    const call = this.#connect;
    if (!call || this.#connection) return this.#unanswered(event);
    call.errorText = text;
    if (call.abandoned) this.#unanswered(event);
  }

  #onClosed(event) {
    const reason = String(event.reason ?? '');
    const open = this.#connection;
    if (open) {
      this.#connection = null;
      open.stream._ended(reason);
      open.release();
      if (open.abandoned) this.#unanswered(event);
      return;
    }
    const call = this.#connect;
    if (!call) return this.#unanswered(event);
    this.#connect = null;
    call.release();
    if (call.abandoned) return this.#unanswered(event);
    call.reject(connectError(call.errorText, reason));
  }

  #onExit(code, signal, resolve) {
    if (this.#exited) return;
    this.#exited = { code, signal };
    if (this.#stdoutRest.length) {
      this.#onLine(this.#stdoutRest.toString('utf8'));
      this.#stdoutRest = Buffer.alloc(0);
    }
    this.#stderrRest += this.#stderrDecoder.end();
    if (this.#stderrRest) {
      this.#onLogLine(this.#stderrRest);
      this.#stderrRest = '';
    }
    if (this.#worldDir) rmSync(this.#worldDir, { recursive: true, force: true });
    const error = this.#spawnError ?? this.#exitError();

    if (this.#readyWaiter) {
      this.#readyWaiter.reject(error);
      this.#readyWaiter = null;
    }
    const scan = this.#scan;
    if (scan) {
      this.#scan = null;
      scan.error = error;
      this.#wakeScan(scan);
    }
    if (this.#pair && !this.#pair.abandoned) this.#pair.reject(error);
    this.#pair = null;
    if (this.#connect && !this.#connect.abandoned) this.#connect.reject(error);
    this.#connect = null;
    if (this.#connection) {
      // After close() the connection ends as after a disconnect; otherwise it was lost.
      this.#connection.stream._lost(this.#closing ? null : error);
      this.#connection = null;
    }
    for (const turns of [this.#scanTurns, this.#pairTurns, this.#connectTurns]) turns.failAll(error);
    this.emit('exit', code, signal);
    resolve();
  }
}

function checkAddr(addr) {
  if (typeof addr !== 'string') throw new TypeError('addr must be a string');
}
